#pragma once

#include "service/Inbox.h"
#include "service/MessageSink.h"
#include "service/Settings.h"
#include "service/Spool.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>

// What happens to a complete message: the blocked lists, the rate per source address and the
// spool's room decide; an accepted message is stored durably, then offered to local clients.
// One log line per message, never its text.
class Reception final : public MessageSink
{
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    Reception(const Settings& settings, Spool& spool, Inbox& inbox, Log log,
              std::function<Clock::time_point()> now = &Clock::now);

    Verdict admit(const ReceivedMessage& header) override;
    Verdict deliver(const ReceivedMessage& message) override;
    Verdict deliverLater(const ReceivedMessage& message) override;
    void refused(const ReceivedMessage& message, Verdict why) override;

    struct Staged
    {
        ReceivedMessage message;
        std::string id;
        std::string content;
    };
    // The Pending messages on their way to disk: flight.batch.sync() may run on another
    // thread; land() then books, logs and offers them, and gives their verdicts in the order
    // deliverLater() took them.
    struct Flight
    {
        Spool::Batch batch;
        std::vector<Staged> staged;
    };
    bool hasPending() const { return !m_staged.empty(); }
    Flight takeFlight();
    std::vector<Verdict> land(const Flight& flight);

    // "2026-12-07T14:07:27+01:00": local time with its UTC offset.
    static std::string timestamp(std::time_t when);

private:
    struct Rate
    {
        std::deque<Clock::time_point> accepted;
        Clock::time_point lastLogged{};
        std::size_t unlogged = 0;
    };

    // The checks and the record; Pending once written to into (or the spool's batch).
    Verdict stage(const ReceivedMessage& message, Spool::Batch* into, std::string& content,
                  std::string& id);
    bool blocked(const ReceivedMessage& message) const;
    bool overRate(const std::string& address, Clock::time_point now);
    void logLine(const ReceivedMessage& message, Verdict verdict, const std::string& extra = {});

    const Settings& m_settings;
    Spool& m_spool;
    Inbox& m_inbox;
    Log m_log;
    std::function<Clock::time_point()> m_now;
    std::map<std::string, Rate> m_rates;
    std::vector<Staged> m_staged;
};
