#include "app/send/SendCommandLine.h"

#include "protocol/NetworkConfig.h"
#include "protocol/OemText.h"

#include <arpa/inet.h>

namespace {

SendCommandLine usageError(const QString& problem)
{
    SendCommandLine line;
    line.action = SendCommandLine::Action::UsageError;
    line.problem = problem;
    return line;
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

} // namespace

SendCommandLine parseSendCommandLine(const QStringList& args)
{
    SendCommandLine line;
    qsizetype i = 0;
    for (; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--")) {
            ++i;
            break;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            line.action = SendCommandLine::Action::Help;
            return line;
        }
        if (arg == QLatin1String("-V") || arg == QLatin1String("--version")) {
            line.action = SendCommandLine::Action::Version;
            return line;
        }
        const bool fromOption = arg == QLatin1String("-f") || arg == QLatin1String("--from");
        const bool address = arg == QLatin1String("-I") || arg == QLatin1String("--address");
        const bool port = arg == QLatin1String("-p") || arg == QLatin1String("--port");
        const bool wins = arg == QLatin1String("--wins-server");
        const bool workgroup = arg == QLatin1String("--workgroup");
        if (fromOption || address || port || wins || workgroup) {
            if (i + 1 >= args.size())
                return usageError(QStringLiteral("option %1 needs a value").arg(arg));
            const QString& value = args[++i];
            if (fromOption) {
                line.from = value;
            } else if (wins) {
                const auto server = parseAddress(value);
                if (!server || *server == 0 || *server == 0xFFFFFFFF)
                    return usageError(
                        QStringLiteral("'%1' is not a WINS server's IPv4 address").arg(value));
                if (!line.winsServers)
                    line.winsServers.emplace();
                line.winsServers->push_back(*server);
            } else if (workgroup) {
                line.workgroup = NetworkConfigParser::workgroupName(value.toStdString());
                if (!line.workgroup)
                    return usageError(
                        QStringLiteral("'%1' is not a workgroup name of 1 to 15 characters")
                            .arg(value));
            } else if (address) {
                line.address = parseAddress(value);
                if (!line.address)
                    return usageError(
                        QStringLiteral("'%1' is not an IPv4 address such as 192.168.0.10")
                            .arg(value));
            } else {
                line.port = parsePort(value);
                if (!line.port)
                    return usageError(
                        QStringLiteral("'%1' is not a port number from 1 to 65535").arg(value));
            }
            continue;
        }
        if (arg.size() > 1 && arg.startsWith(QLatin1Char('-')))
            return usageError(QStringLiteral("unknown option %1").arg(arg));
        break;
    }
    if (i >= args.size())
        return usageError(QStringLiteral("no recipient given"));
    line.recipient = args[i++];
    // Spaces alone name nobody, like an empty recipient.
    if (line.recipient.count(QLatin1Char(' ')) == line.recipient.size())
        return usageError(QStringLiteral("the recipient is empty"));
    if (i < args.size())
        line.text = args.mid(i).join(QLatin1Char(' '));
    line.action = SendCommandLine::Action::Send;
    return line;
}

QString messageFromInput(const QByteArray& input)
{
    QString text = QString::fromUtf8(input);
    if (text.endsWith(QLatin1String("\r\n")))
        text.chop(2);
    else if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

MessageCheck checkMessage(const QString& text)
{
    MessageCheck check;
    if (text.isEmpty())
        check.verdict = MessageCheck::Verdict::Empty;
    else if (text.contains(QChar(u'\0')))
        check.verdict = MessageCheck::Verdict::HasNul;
    check.replaced = OemText::replacedCount(text.toStdU16String());
    return check;
}
