#include "app/send/SendCommandLine.h"

#include "protocol/NetworkConfig.h"
#include "protocol/OemText.h"

#include <QCommandLineParser>

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
    QCommandLineParser parser;
    // Words after the recipient are the message, whatever they look like.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")}, {});
    const QCommandLineOption from({QStringLiteral("f"), QStringLiteral("from")}, {},
                                  QStringLiteral("NAME"));
    const QCommandLineOption address({QStringLiteral("I"), QStringLiteral("address")}, {},
                                     QStringLiteral("ADDRESS"));
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")}, {},
                                  QStringLiteral("PORT"));
    const QCommandLineOption wins(QStringLiteral("wins-server"), {}, QStringLiteral("ADDRESS"));
    const QCommandLineOption workgroup(QStringLiteral("workgroup"), {}, QStringLiteral("NAME"));
    parser.addOptions({help, version, from, address, port, wins, workgroup});
    const bool parsed = parser.parse(QStringList{QStringLiteral("vorelin-send")} + args);

    SendCommandLine line;
    if (parser.isSet(help)) {
        line.action = SendCommandLine::Action::Help;
        return line;
    }
    if (parser.isSet(version)) {
        line.action = SendCommandLine::Action::Version;
        return line;
    }
    if (!parsed)
        return usageError(parser.errorText());
    line.from = parser.value(from);
    if (parser.isSet(address)) {
        line.address = parseAddress(parser.value(address));
        if (!line.address)
            return usageError(QStringLiteral("'%1' is not an IPv4 address such as 192.168.0.10")
                                  .arg(parser.value(address)));
    }
    if (parser.isSet(port)) {
        line.port = parsePort(parser.value(port));
        if (!line.port)
            return usageError(QStringLiteral("'%1' is not a port number from 1 to 65535")
                                  .arg(parser.value(port)));
    }
    for (const QString& value : parser.values(wins)) {
        const auto server = parseAddress(value);
        if (!server || *server == 0 || *server == 0xFFFFFFFF)
            return usageError(
                QStringLiteral("'%1' is not a WINS server's IPv4 address").arg(value));
        if (!line.winsServers)
            line.winsServers.emplace();
        line.winsServers->push_back(*server);
    }
    if (parser.isSet(workgroup)) {
        line.workgroup = NetworkConfigParser::workgroupName(parser.value(workgroup).toStdString());
        if (!line.workgroup)
            return usageError(QStringLiteral("'%1' is not a workgroup name of 1 to 15 characters")
                                  .arg(parser.value(workgroup)));
    }
    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return usageError(QStringLiteral("no recipient given"));
    line.recipient = words.takeFirst();
    // Spaces alone name nobody, like an empty recipient.
    if (line.recipient.count(QLatin1Char(' ')) == line.recipient.size())
        return usageError(QStringLiteral("the recipient is empty"));
    if (!words.isEmpty())
        line.text = words.join(QLatin1Char(' '));
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
