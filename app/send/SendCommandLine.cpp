#include "app/send/SendCommandLine.h"

#include "protocol/NetworkConfig.h"

#include <QCommandLineParser>

#include <arpa/inet.h>

#include <algorithm>

namespace {

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
    // Digits only: toInt takes a sign and spaces too.
    const bool digits = text.size() <= 5 && std::all_of(text.begin(), text.end(), [](QChar c) {
                            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                        });
    const int port = digits ? text.toInt() : 0;
    return port >= 1 && port <= 65535 ? std::optional(std::uint16_t(port)) : std::nullopt;
}

} // namespace

SendCommandLine parseSendCommandLine(const QStringList& args)
{
    QCommandLineParser parser;
    // Words after the recipient are the message, whatever they look like.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    // The help is the program's own text: an option needs only its names and whether it takes
    // a value.
    const auto option = [&parser](const char* names, bool valued = true) {
        const QCommandLineOption option(QString::fromLatin1(names).split(QLatin1Char(' ')), {},
                                        valued ? QStringLiteral("VALUE") : QString());
        parser.addOption(option);
        return option;
    };
    const auto help = option("h help", false);
    const auto version = option("V version", false);
    const auto from = option("f from");
    const auto address = option("I address");
    const auto port = option("p port");
    const auto wins = option("wins-server");
    const auto workgroup = option("workgroup");
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
    if (parser.isSet(address) && !(line.address = parseAddress(parser.value(address))))
        return refuse(parser.value(address), "an IPv4 address such as 192.168.0.10");
    if (parser.isSet(port) && !(line.port = parsePort(parser.value(port))))
        return refuse(parser.value(port), "a port number from 1 to 65535");
    if (parser.isSet(wins))
        line.winsServers.emplace();
    for (const QString& value : parser.values(wins)) {
        const auto server = parseAddress(value);
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
