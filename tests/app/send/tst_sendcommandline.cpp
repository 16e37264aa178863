#include "app/send/SendCommandLine.h"

#include <QTest>

using Action = SendCommandLine::Action;

Q_DECLARE_METATYPE(Action)

// vorelin-send's command line and standard input, in process: no receiver, no program run.
class TestSendCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
    void takesTheMessageFromInput_data();
    void takesTheMessageFromInput();
};

void TestSendCommandLine::parses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Action>("action");
    // Send: "from|recipient|text|address|port", text "<stdin>" when it is read, "-" unset;
    // a usage error: how its problem starts.
    QTest::addColumn<QString>("parsed");

    const auto row = [](const char* name, QStringList arguments, Action action,
                        const char* parsed = "") {
        QTest::newRow(name) << arguments << action << QString::fromUtf8(parsed);
    };
    row("recipient and words", {"PC-07", "Hola", "a", "  todos"}, Action::Send,
        "|PC-07|Hola a   todos|-|-");
    row("recipient only: standard input", {"PC-07"}, Action::Send, "|PC-07|<stdin>|-|-");
    row("every option, long forms",
        {"--from", "ana", "--address", "192.168.0.10", "--port", "1139", "PC", "x"}, Action::Send,
        "ana|PC|x|3232235530|1139");
    row("every option, joined with =",
        {"--from=ana", "--address=192.168.0.10", "--port=1139", "PC", "x"}, Action::Send,
        "ana|PC|x|3232235530|1139");
    row("every option, short forms", {"-f", "ana", "-I", "127.0.0.1", "-p", "139", "PC", "x"},
        Action::Send, "ana|PC|x|2130706433|139");
    row("-- ends the options", {"--", "-PC", "-x"}, Action::Send, "|-PC|-x|-|-");
    row("a lone dash is a recipient", {"-", "x"}, Action::Send, "|-|x|-|-");
    row("options after the recipient are text", {"PC", "-f", "ana"}, Action::Send,
        "|PC|-f ana|-|-");
    row("the last -f wins", {"-f", "a", "-f", "b", "PC", "x"}, Action::Send, "b|PC|x|-|-");
    row("WINS servers in order, and the workgroup upper-cased",
        {"--wins-server", "10.0.0.1", "--workgroup", "oficina", "--wins-server", "10.0.0.2", "PC",
         "x"},
        Action::Send, "|PC|x|-|-|wins=167772161,167772162|workgroup=OFICINA");
    row("help", {"-h"}, Action::Help);
    row("help wins over a bad option after it", {"--help", "-x"}, Action::Help);
    row("version", {"--version"}, Action::Version);
    row("version, short", {"-V"}, Action::Version);
    row("nothing", {}, Action::UsageError, "no recipient given");
    row("options but no recipient", {"-I", "127.0.0.1"}, Action::UsageError, "no recipient given");
    row("empty recipient", {"", "x"}, Action::UsageError, "the recipient is empty");
    row("recipient of spaces only", {"   ", "x"}, Action::UsageError, "the recipient is empty");
    row("unknown option", {"-x", "PC", "x"}, Action::UsageError, "Unknown option 'x'.");
    row("-f without its value", {"-f"}, Action::UsageError, "Missing value after '-f'.");
    row("port 0", {"-p", "0", "PC", "x"}, Action::UsageError,
        "'0' is not a port number from 1 to 65535");
    row("port 65536", {"-p", "65536", "PC", "x"}, Action::UsageError,
        "'65536' is not a port number from 1 to 65535");
    row("port not a number", {"-p", "13x", "PC", "x"}, Action::UsageError,
        "'13x' is not a port number from 1 to 65535");
    row("signed port", {"-p", "+139", "PC", "x"}, Action::UsageError,
        "'+139' is not a port number from 1 to 65535");
    row("address with three parts", {"-I", "127.0.1", "PC", "x"}, Action::UsageError,
        "'127.0.1' is not an IPv4 address such as 192.168.0.10");
    row("address part over 255", {"-I", "127.0.0.256", "PC", "x"}, Action::UsageError);
    row("host name as address", {"-I", "localhost", "PC", "x"}, Action::UsageError);
    row("IPv6 address", {"-I", "::1", "PC", "x"}, Action::UsageError);
    row("hex address", {"-I", "0x7f.0.0.1", "PC", "x"}, Action::UsageError);
    row("WINS server by host name", {"--wins-server", "wins", "PC", "x"}, Action::UsageError,
        "'wins' is not a WINS server's IPv4 address");
    row("WINS server 0.0.0.0", {"--wins-server", "0.0.0.0", "PC", "x"}, Action::UsageError);
    row("workgroup too long", {"--workgroup", "SIXTEENCHARSLONG", "PC", "x"}, Action::UsageError,
        "'SIXTEENCHARSLONG' is not a workgroup name of 1 to 15 characters");
    row("workgroup with a star", {"--workgroup", "OFI*", "PC", "x"}, Action::UsageError);
    row("--workgroup without its value", {"--workgroup"}, Action::UsageError);
}

void TestSendCommandLine::parses()
{
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QString, parsed);

    const SendCommandLine line = parseSendCommandLine(arguments);
    QCOMPARE(line.action, action);
    if (action == Action::UsageError)
        QVERIFY2(!line.problem.isEmpty() && line.problem.startsWith(parsed),
                 qPrintable(line.problem));
    if (action != Action::Send)
        return;
    QString seen =
        QStringList{line.from, line.recipient, line.text.value_or(QStringLiteral("<stdin>")),
                    line.address ? QString::number(*line.address) : QStringLiteral("-"),
                    line.port ? QString::number(*line.port) : QStringLiteral("-")}
            .join(QLatin1Char('|'));
    // The network options only where given: "|wins=A,B|workgroup=W".
    if (line.winsServers) {
        QStringList servers;
        for (const auto server : *line.winsServers)
            servers << QString::number(server);
        seen += QStringLiteral("|wins=") + servers.join(QLatin1Char(','));
    }
    if (line.workgroup)
        seen += QStringLiteral("|workgroup=") + QString::fromStdString(*line.workgroup);
    QCOMPARE(seen, parsed);
}

void TestSendCommandLine::takesTheMessageFromInput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("text");
    QTest::newRow("one final LF dropped") << QByteArray("a\nb\n") << "a\nb";
    QTest::newRow("one final CR LF dropped") << QByteArray("a\r\n") << "a";
    QTest::newRow("only one break dropped") << QByteArray("a\n\n") << "a\n";
    QTest::newRow("no final break") << QByteArray("a") << "a";
    QTest::newRow("UTF-8") << QByteArray("a\xc3\xb1") << QString::fromUtf8("a\u00f1");
    QTest::newRow("only a break") << QByteArray("\n") << "";
}

void TestSendCommandLine::takesTheMessageFromInput()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, text);
    QCOMPARE(messageFromInput(input), text);
}

QTEST_APPLESS_MAIN(TestSendCommandLine)
#include "tst_sendcommandline.moc"
