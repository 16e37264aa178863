// vorelin-send: sends one message from the command line, through the same send path as the
// window's send button, and tells by its exit status whether the message was delivered.

#include "app/send/SendCommandLine.h"
#include "identity/LocalIdentity.h"
#include "messaging/MessageSender.h"
#include "messaging/NetMessageRequest.h"
#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/messenger/MessengerResult.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/network/LinuxNetworkAdapters.h"
#include "platform/pointer/BusyPointer.h"
#include "protocol/OemText.h"

#include <QCoreApplication>
#include <QStringList>

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

const char* const kHelp =
    "Usage: vorelin-send [-f SENDER] [-I ADDRESS] [-p PORT] [--wins-server ADDRESS]... "
    "[--workgroup NAME] RECIPIENT [MESSAGE...]\n"
    "\n"
    "Sends a message to RECIPIENT, a computer or user name on the local network (or its IPv4\n"
    "address), the way the Windows messenger service did (net send).\n"
    "\n"
    "RECIPIENT NAME* sends to every machine of workgroup NAME on the local subnets, and a bare\n"
    "* to this machine's workgroup; nothing acknowledges such a message, so it counts as sent.\n"
    "\n"
    "The words of MESSAGE are joined with single spaces. With no MESSAGE the text is read\n"
    "from standard input until end of file; one final line break is dropped, and input longer\n"
    "than any message can be is refused as too long. Characters the receiver's code page\n"
    "lacks go out as '?', and a warning says how many; a message with a NUL is refused.\n"
    "One send, name lookup included, ends within 20 seconds.\n"
    "\n"
    "The network settings come from /etc/vorelin/vorelin.conf (or the file VORELIN_CONFIG\n"
    "names), else from Samba's smb.conf; see vorelin.conf(5).\n"
    "\n"
    "Options:\n"
    "  -f, --from SENDER      the sender name the recipient sees (default: this computer's)\n"
    "  -I, --address ADDRESS  send to this IPv4 address (dotted, as 192.168.0.10) without\n"
    "                         looking the name up\n"
    "  -p, --port PORT        TCP port of the receiver's session service, 1..65535 (default "
    "139)\n"
    "  --wins-server ADDRESS  look names up at this WINS server (IPv4) before broadcasting;\n"
    "                         repeat for more, in order (default: from vorelin.conf)\n"
    "  --workgroup NAME       this machine's workgroup (default: from vorelin.conf)\n"
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

// The status line of a terminal: one line per caption. A line clears itself in the window
// only; here nothing is left to clear.
class PrintingStatusLine final : public StatusLine
{
public:
    // The sender whose results this line prints, with their codes.
    const MessageSender* sender = nullptr;

    void setStatusCaption(const QString& text) override
    {
        const std::int32_t code = sender && sender->lastCode() ? *sender->lastCode() : -1;
        std::FILE* stream = code == MessengerResult::kSuccess ? stdout : stderr;
        std::fprintf(stream, "%s (%ld)\n", text.toLocal8Bit().constData(), long(code));
        std::fflush(stream);
    }
    void setClearInterval(int) override {}
};

int usageError(const QString& problem)
{
    std::fprintf(stderr, "vorelin-send: %s (see vorelin-send --help)\n",
                 problem.toLocal8Bit().constData());
    return kUsageError;
}

// Standard input up to one byte past kMaxInputBytes.
QByteArray readInput()
{
    QByteArray input(kMaxInputBytes + 1, Qt::Uninitialized);
    input.resize(qsizetype(std::fread(input.data(), 1, std::size_t(input.size()), stdin)));
    return input;
}

} // namespace

int main(int argc, char* argv[])
{
    // A reader that goes away must not kill us before the exit status is set.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorelin-send"));

    const SendCommandLine line = parseSendCommandLine(QCoreApplication::arguments().mid(1));
    if (line.action == SendCommandLine::Action::UsageError)
        return usageError(line.problem);
    if (line.action != SendCommandLine::Action::Send) {
        const bool help = line.action == SendCommandLine::Action::Help;
        std::fputs(help ? kHelp : "vorelin-send " VORELIN_VERSION "\n", stdout);
        return 0;
    }

    if (!line.text && ::isatty(STDIN_FILENO))
        std::fputs("Type the message, then Ctrl-D on a line of its own.\n", stderr);
    const QString text = line.text ? *line.text : messageFromInput(readInput());
    if (text.isEmpty())
        return usageError(QStringLiteral("the message is empty; nothing was sent"));

    const auto network = NetworkConfigParser::load();
    if (network.error)
        std::fprintf(stderr, "vorelin-send: %s\n", network.error->c_str());
    SmbMessengerOptions options;
    options.apply(network.config);
    options.resolver.nameServers = line.winsServers.value_or(options.resolver.nameServers);
    options.workgroup = line.workgroup.value_or(options.workgroup);
    options.address = line.address;
    options.sessionPort = line.port.value_or(options.sessionPort);
    LinuxComputerName computer;
    LinuxNetworkAdapters adapters;
    SmbMessenger smb(GetLocalComputerName(computer), options, &adapters);
    NoBusyPointer pointer;
    PrintingStatusLine status;
    MessageSender sendPath(smb, pointer, status);
    status.sender = &sendPath;

    // The window sends a NUL as it is, and the receiver shows the text up to it; here nothing
    // is cut without a word.
    if (text.contains(QChar(u'\0'))) {
        sendPath.DescribeSendResult(MessengerResult::kInvalidParameter);
        return kNotDelivered;
    }
    if (const std::size_t replaced = OemText::replacedCount(text.toStdU16String()))
        std::fprintf(stderr,
                     "vorelin-send: warning: %zu character%s the code page lacks will show as "
                     "'?'\n",
                     replaced, replaced == 1 ? "" : "s");

    // A bare '*' meant this machine's workgroup to the classic command-line sender; the
    // messenger call itself refuses it, as the window does.
    const QString recipient = line.recipient == QLatin1String("*")
                                  ? QString::fromStdString(options.workgroup) + QLatin1Char('*')
                                  : line.recipient;
    // No server name: this machine carries out the send, as from the window.
    NetMessageRequest request{QString(), recipient, line.from, text};
    sendPath.SendNetMessage(request);
    return sendPath.lastCode() == MessengerResult::kSuccess ? kDelivered : kNotDelivered;
}
