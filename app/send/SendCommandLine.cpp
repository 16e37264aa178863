#include "app/send/SendCommandLine.h"

#include "protocol/NetworkConfig.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

std::optional<std::uint16_t> parsePort(const QString& text)
{
    // Digits only: toInt takes a sign and spaces too.
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,5}\\z"));
    const int port = digits.match(text).hasMatch() ? text.toInt() : 0;
    return port >= 1 && port <= 65535 ? std::optional(std::uint16_t(port)) : std::nullopt;
}

} // namespace

SendCommandLine parseSendCommandLine(const QStringList& args)
{
    QCommandLineParser parser;
    // Words after the recipient are the message, whatever they look like.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    // The help is the program's own: an option needs only its names and whether it takes a value.
    const auto option = [](const char* names, const QString& value = QStringLiteral("VALUE")) {
        return QCommandLineOption(QString::fromLatin1(names).split(QLatin1Char(' ')), {}, value);
    };
    const auto help = option("h help", {}), version = option("V version", {}),
               from = option("f from"), address = option("I address"), port = option("p port"),
               wins = option("wins-server"), workgroup = option("workgroup");
    parser.addOptions({help, version, from, address, port, wins, workgroup});
    const bool parsed = parser.parse(QStringList{QStringLiteral("vorelin-send")} + args);

    SendCommandLine line;
    if (parser.isSet(help) || parser.isSet(version)) {
        line.action =
            parser.isSet(help) ? SendCommandLine::Action::Help : SendCommandLine::Action::Version;
        return line;
    }
    const auto fail = [&line](const QString& problem) {
        line.problem = problem;
        return line;
    };
    const auto refuse = [&fail](const QString& value, const char* expected) {
        return fail(QStringLiteral("'%1' is not %2").arg(value, QLatin1String(expected)));
    };
    if (!parsed)
        return fail(parser.errorText());
    line.from = parser.value(from);
    if (parser.isSet(address) &&
        !(line.address = NetworkConfigParser::ipv4(parser.value(address).toStdString())))
        return refuse(parser.value(address), "an IPv4 address such as 192.168.0.10");
    if (parser.isSet(port) && !(line.port = parsePort(parser.value(port))))
        return refuse(parser.value(port), "a port number from 1 to 65535");
    if (parser.isSet(wins))
        line.winsServers.emplace();
    for (const QString& value : parser.values(wins)) {
        const auto server = NetworkConfigParser::ipv4(value.toStdString());
        if (!server || *server == 0 || *server == 0xFFFFFFFF)
            return refuse(value, "a WINS server's IPv4 address");
        line.winsServers->push_back(*server);
    }
    if (parser.isSet(workgroup) && !(line.workgroup = NetworkConfigParser::workgroupName(
                                         parser.value(workgroup).toStdString())))
        return refuse(parser.value(workgroup), "a workgroup name of 1 to 15 characters");
    QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return fail(QStringLiteral("no recipient given"));
    line.recipient = words.takeFirst();
    // Spaces alone name nobody, like an empty recipient.
    if (line.recipient.count(QLatin1Char(' ')) == line.recipient.size())
        return fail(QStringLiteral("the recipient is empty"));
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
