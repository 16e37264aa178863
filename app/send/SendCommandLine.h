#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// vorelin-send's command line, read without side effects.
struct SendCommandLine
{
    enum class Action
    {
        Send,
        Help,
        Version,
        UsageError
    };

    Action action = Action::UsageError;
    // UsageError: what is wrong, as one line for the user.
    QString problem;
    QString from;
    QString recipient;
    // The words of the message joined; nothing means read it from standard input.
    std::optional<QString> text;
    std::optional<std::uint32_t> address; // host byte order
    std::optional<std::uint16_t> port;
    // Over vorelin.conf: the WINS servers in order (--wins-server, repeatable) and the
    // workgroup, upper case.
    std::optional<std::vector<std::uint32_t>> winsServers;
    std::optional<std::string> workgroup;
};

// arguments without the program name.
SendCommandLine parseSendCommandLine(const QStringList& arguments);

// The message as standard input gave it: one final line break is not part of it.
QString messageFromInput(const QByteArray& input);
