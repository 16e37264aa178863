// vorelin-send: sends one message from the command line, through the same send path as the
// window's send button, and tells by its exit status whether the message was delivered.

#include "identity/LocalIdentity.h"
#include "messaging/MessageSender.h"
#include "messaging/NetMessageRequest.h"
#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/pointer/BusyPointer.h"

#include <QCoreApplication>
#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace {

constexpr int kDelivered = 0;
constexpr int kNotDelivered = 1;
constexpr int kUsageError = 2;

// Every OEM byte of a message comes from at most four UTF-8 bytes, so more input than this
// can never fit: the messenger refuses it as too long, and nothing longer need be read.
constexpr qsizetype kMaxInputBytes = 16 * 1024;
static_assert(kMaxInputBytes >= 4 * qsizetype(SmbMessenger::kMaxTextBytes));

const char* const kUsage = "Usage: vorelin-send [-f SENDER] [-I ADDRESS] [-p PORT] RECIPIENT "
                           "[MESSAGE...]\n";

const char* const kHelp =
    "Sends a message to RECIPIENT, a computer or user name on the local network (or its IPv4\n"
    "address), the way the Windows messenger service did (net send).\n"
    "\n"
    "The words of MESSAGE are joined with single spaces. With no MESSAGE the text is read\n"
    "from standard input until end of file; one final line break is dropped, and input longer\n"
    "than any message can be is refused as too long.\n"
    "\n"
    "Options:\n"
    "  -f, --from SENDER      the sender name the recipient sees (default: this computer's)\n"
    "  -I, --address ADDRESS  send to this IPv4 address (dotted, as 192.168.0.10) without\n"
    "                         looking the name up\n"
    "  -p, --port PORT        TCP port of the receiver's session service, 1..65535 (default "
    "139)\n"
    "  -h, --help             show this help and exit\n"
    "  -V, --version          show the version and exit\n"
    "  --                     end of options\n"
    "\n"
    "The outcome is printed on one line as the window shows it, followed by the result code\n"
    "in parentheses, on standard output when the message was delivered and on standard error\n"
    "when it was not.\n"
    "\n"
    "Exit status:\n"
    "  0  the receiver accepted the message\n"
    "  1  the message was not delivered (refused, receiver not found, network error, invalid\n"
    "     name or text)\n"
    "  2  usage error: unknown option, bad or missing argument, or an empty message\n";

// The window's busy pointer has nothing to show here.
class NoBusyPointer final : public BusyPointer
{
public:
    void showWait() override {}
    void showDefault() override {}
};

// Passes every call on and keeps the code, which the status line prints beside the text.
class CodeKeepingMessenger final : public Messenger
{
public:
    explicit CodeKeepingMessenger(Messenger& inner) : m_inner(inner) {}

    std::int32_t NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                      const char16_t* fromname, const std::uint8_t* buf,
                                      std::uint32_t buflen) override
    {
        const std::int32_t result =
            m_inner.NetMessageBufferSend(servername, msgname, fromname, buf, buflen);
        code = result;
        return result;
    }

    std::optional<std::int32_t> code;

private:
    Messenger& m_inner;
};

// The status line of a terminal: one line per caption. A line clears itself in the window
// only; here nothing is left to clear.
class PrintingStatusLine final : public StatusLine
{
public:
    explicit PrintingStatusLine(const CodeKeepingMessenger& messenger) : m_messenger(messenger) {}

    void setStatusCaption(const QString& text) override
    {
        const std::int32_t code = m_messenger.code.value_or(-1);
        std::FILE* stream = code == 0 ? stdout : stderr;
        std::fprintf(stream, "%s (%ld)\n", text.toLocal8Bit().constData(), long(code));
        std::fflush(stream);
    }
    void setClearInterval(int) override {}

private:
    const CodeKeepingMessenger& m_messenger;
};

int usageError(const QString& problem)
{
    std::fprintf(stderr, "vorelin-send: %s\n%sTry 'vorelin-send --help' for more information.\n",
                 problem.toLocal8Bit().constData(), kUsage);
    return kUsageError;
}

std::optional<std::uint32_t> parseAddress(const QString& text)
{
    // inet_pton takes dotted decimal only: no host names, no hex or octal forms.
    in_addr address{};
    if (::inet_pton(AF_INET, text.toLatin1().constData(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

std::optional<std::uint16_t> parsePort(const QString& text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    const int port = text.toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return std::uint16_t(port);
}

// Standard input up to one byte past kMaxInputBytes.
QByteArray readInput()
{
    QByteArray input;
    char chunk[4096];
    while (input.size() <= kMaxInputBytes) {
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        input.append(chunk, qsizetype(got));
    }
    return input.left(kMaxInputBytes + 1);
}

} // namespace

int main(int argc, char* argv[])
{
    // A reader that goes away must not kill us before the exit status is set.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorelin-send"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORELIN_VERSION));

    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    QString from;
    SmbMessengerOptions options;
    qsizetype i = 0;
    for (; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--")) {
            ++i;
            break;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == QLatin1String("-V") || arg == QLatin1String("--version")) {
            std::printf("vorelin-send %s\n", VORELIN_VERSION);
            return 0;
        }
        const bool fromOption = arg == QLatin1String("-f") || arg == QLatin1String("--from");
        const bool address = arg == QLatin1String("-I") || arg == QLatin1String("--address");
        const bool port = arg == QLatin1String("-p") || arg == QLatin1String("--port");
        if (fromOption || address || port) {
            if (i + 1 >= args.size())
                return usageError(QStringLiteral("option %1 needs a value").arg(arg));
            const QString& value = args[++i];
            if (fromOption) {
                from = value;
            } else if (address) {
                const auto parsed = parseAddress(value);
                if (!parsed)
                    return usageError(
                        QStringLiteral("'%1' is not an IPv4 address such as 192.168.0.10")
                            .arg(value));
                options.address = *parsed;
            } else {
                const auto parsed = parsePort(value);
                if (!parsed)
                    return usageError(
                        QStringLiteral("'%1' is not a port number from 1 to 65535").arg(value));
                options.sessionPort = *parsed;
            }
            continue;
        }
        if (arg.size() > 1 && arg.startsWith(QLatin1Char('-')))
            return usageError(QStringLiteral("unknown option %1").arg(arg));
        break;
    }
    if (i >= args.size())
        return usageError(QStringLiteral("no recipient given"));
    const QString recipient = args[i++];
    if (recipient.isEmpty())
        return usageError(QStringLiteral("the recipient is empty"));

    QString text;
    if (i < args.size()) {
        text = args.mid(i).join(QLatin1Char(' '));
    } else {
        if (::isatty(STDIN_FILENO))
            std::fputs("Type the message, then Ctrl-D on a line of its own.\n", stderr);
        text = QString::fromUtf8(readInput());
        if (text.endsWith(QLatin1String("\r\n")))
            text.chop(2);
        else if (text.endsWith(QLatin1Char('\n')))
            text.chop(1);
    }
    if (text.isEmpty())
        return usageError(QStringLiteral("the message is empty; nothing was sent"));

    LinuxComputerName computer;
    SmbMessenger smb(GetLocalComputerName(computer), options);
    CodeKeepingMessenger messenger(smb);
    NoBusyPointer pointer;
    PrintingStatusLine status(messenger);
    MessageSender sendPath(messenger, pointer, status);

    // No server name: this machine carries out the send, as from the window.
    NetMessageRequest request{QString(), recipient, from, text};
    sendPath.SendNetMessage(request);
    return messenger.code == 0 ? kDelivered : kNotDelivered;
}
