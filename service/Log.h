#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

// Where vorelind's parts write their lines, one per event, each with a syslog priority, so that
// the journal can tell the problems from the chatter. An empty Log drops every line.
class Log
{
public:
    // syslog's numbers, as sd-daemon's "<N>" prefixes carry them.
    enum class Priority
    {
        Err = 3,     // a part of the service stops
        Warning = 4, // a refusal or a loss someone should look at
        Notice = 5,  // the service changed course
        Info = 6,    // one line per message or name
        Debug = 7
    };

    Log() = default;
    template <typename Sink>
    requires std::is_invocable_v<Sink&, Priority, const std::string&> Log(Sink sink)
        : m_sink(std::move(sink))
    {}
    // A sink for lines alone (tests): the priority is dropped.
    template <typename Lines>
    requires std::is_invocable_v<Lines&, const std::string&> Log(Lines lines)
        : m_sink([lines = std::move(lines)](Priority, const std::string& line) mutable {
              lines(line);
          })
    {}

    void err(const std::string& line) const { write(Priority::Err, line); }
    void warning(const std::string& line) const { write(Priority::Warning, line); }
    void notice(const std::string& line) const { write(Priority::Notice, line); }
    void info(const std::string& line) const { write(Priority::Info, line); }
    void debug(const std::string& line) const { write(Priority::Debug, line); }
    void write(Priority priority, const std::string& line) const
    {
        if (m_sink)
            m_sink(priority, line);
    }

    // The bytes of one line on stderr: with sd-daemon's priority prefix where stderr is the
    // journal, which reads it; plain for a terminal or a file.
    static std::string format(Priority priority, const std::string& line, bool journal);
    // Whether JOURNAL_STREAM ("DEVICE:INODE" in decimal, set by systemd) names the stream with
    // this device and inode: a stderr redirected elsewhere keeps the variable but not the inode.
    static bool isJournal(const char* journalStream, dev_t device, ino_t inode);

private:
    std::function<void(Priority, const std::string&)> m_sink;
};
