#include "service/CommandLine.h"
#include "service/Log.h"
#include "service/Settings.h"

#include <QTemporaryFile>
#include <QTest>

#include <algorithm>

namespace {

// Parses a configuration file and then a command line, as vorelind does.
SettingsParser::Outcome parse(const QByteArray& file, QStringList arguments, Settings& settings,
                              std::string& error, bool joined = false)
{
    QTemporaryFile conf;
    if (!conf.open())
        return SettingsParser::Outcome::Error;
    conf.write(file);
    conf.flush();
    if (joined) {
        arguments.prepend(QStringLiteral("--config=") + conf.fileName());
    } else {
        arguments.prepend(conf.fileName());
        arguments.prepend(QStringLiteral("--config"));
    }
    arguments.prepend(QStringLiteral("vorelind"));
    std::vector<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    return SettingsParser::parseCommandLine(settings, int(argv.size()), argv.data(), error);
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void readsEveryKeyFromFileAndOptions_data();
    void readsEveryKeyFromFileAndOptions();
    void refusesBadSettings_data();
    void refusesBadSettings();
    void prefixesPrioritiesInTheJournalOnly_data();
    void prefixesPrioritiesInTheJournalOnly();
    void parsesEveryProgramsOptionsOneWay_data();
    void parsesEveryProgramsOptionsOneWay();
};

void TestSettings::readsEveryKeyFromFileAndOptions_data()
{
    QTest::addColumn<bool>("joined");
    QTest::newRow("--config FILE") << false;
    QTest::newRow("--config=FILE") << true;
}

void TestSettings::readsEveryKeyFromFileAndOptions()
{
    QFETCH(bool, joined);
    const QByteArray file = "# comment\n"
                            "computer-name = HOST1\n"
                            "code-page = 437\n"
                            "max-sessions = 8\n"
                            "max-sessions-per-address = 2\n"
                            "  idle-timeout = 500ms  \n"
                            "message-timeout = 5s\n"
                            "messages-per-minute = 0\n"
                            "spool-max-messages = 10\n"
                            "spool-max-bytes = 64K\n"
                            "blocked-senders = mallory , eve,\n"
                            "blocked-addresses = 192.0.2.1\n"
                            "message-command-account = smbguest\n"
                            "login-aliases = no\n"
                            "\n";
    Settings s;
    std::string error;
    QCOMPARE(parse(file, {"--max-sessions", "9", "--idle-timeout=2"}, s, error, joined),
             SettingsParser::Outcome::Run);
    QCOMPARE(s.computerName, std::string("HOST1"));
    QCOMPARE(s.codePage, 437);
    QCOMPARE(s.maxSessions, std::size_t(9)); // the option wins over the file
    QCOMPARE(s.maxSessionsPerAddress, std::size_t(2));
    QCOMPARE(s.idleTimeout, std::chrono::milliseconds(2000));
    QCOMPARE(s.messageTimeout, std::chrono::milliseconds(5000));
    QCOMPARE(s.messagesPerMinute, std::size_t(0));
    QCOMPARE(s.spoolMaxMessages, std::size_t(10));
    QCOMPARE(s.spoolMaxBytes, std::size_t(64 * 1024));
    QCOMPARE(s.blockedSenders, (std::vector<std::string>{"mallory", "eve"}));
    QCOMPARE(s.blockedAddresses, std::vector<std::string>{"192.0.2.1"});
    QCOMPARE(s.messageCommandAccount, std::string("smbguest"));
    QVERIFY(!s.loginAliases);
    QVERIFY(!s.directMode());
}

void TestSettings::refusesBadSettings_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");

    QTest::newRow("unknown key") << QByteArray("colour = red\n") << QStringList{} << "unknown";
    QTest::newRow("line without =")
        << QByteArray("max-sessions 3\n") << QStringList{} << "key = value";
    QTest::newRow("zero sessions") << QByteArray() << QStringList{"--max-sessions", "0"} << "bad";
    QTest::newRow("port beyond 65535")
        << QByteArray() << QStringList{"--session-port", "70000"} << "bad";
    QTest::newRow("zero time") << QByteArray("idle-timeout = 0\n") << QStringList{} << "bad";
    QTest::newRow("time with a unit we do not take")
        << QByteArray("idle-timeout = 1h\n") << QStringList{} << "bad";
    QTest::newRow("time over a day")
        << QByteArray("idle-timeout = 86401\n") << QStringList{} << "bad";
    QTest::newRow("size over a terabyte")
        << QByteArray("spool-max-bytes = 1048577M\n") << QStringList{} << "bad";
    QTest::newRow("negative count")
        << QByteArray("spool-max-messages = -1\n") << QStringList{} << "bad";
    QTest::newRow("name longer than 15")
        << QByteArray("computer-name = ABCDEFGHIJKLMNOP\n") << QStringList{} << "bad";
    QTest::newRow("yes or no only")
        << QByteArray("login-aliases = off\n") << QStringList{} << "bad";
    QTest::newRow("option without value") << QByteArray() << QStringList{"--bind"} << "needs";
    QTest::newRow("stray argument") << QByteArray() << QStringList{"extra"} << "unexpected";
    QTest::newRow("missing file through --config=")
        << QByteArray() << QStringList{"--config=/nonexistent/vorelind.conf"}
        << "cannot read /nonexistent/vorelind.conf: No such file";
    QTest::newRow("a folder as the file")
        << QByteArray() << QStringList{"--config", "/"} << "cannot read /";
}

void TestSettings::refusesBadSettings()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    Settings s;
    std::string error;
    QCOMPARE(parse(file, arguments, s, error), SettingsParser::Outcome::Error);
    QVERIFY2(QString::fromStdString(error).contains(reason), error.c_str());
}

// JOURNAL_STREAM as systemd sets it names stderr's device and inode; a stderr redirected since
// keeps the variable, not the inode.
void TestSettings::prefixesPrioritiesInTheJournalOnly_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<int>("priority");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("journal, err") << QByteArray("8:1234") << 3 << QByteArray("<3>x\n");
    QTest::newRow("journal, warning") << QByteArray("8:1234") << 4 << QByteArray("<4>x\n");
    QTest::newRow("journal, debug") << QByteArray("8:1234") << 7 << QByteArray("<7>x\n");
    QTest::newRow("no variable") << QByteArray() << 3 << QByteArray("x\n");
    QTest::newRow("another inode") << QByteArray("8:1235") << 3 << QByteArray("x\n");
    QTest::newRow("another device") << QByteArray("9:1234") << 3 << QByteArray("x\n");
    QTest::newRow("trailing bytes") << QByteArray("8:1234x") << 3 << QByteArray("x\n");
    QTest::newRow("no device") << QByteArray(":1234") << 3 << QByteArray("x\n");
    QTest::newRow("no inode") << QByteArray("8") << 3 << QByteArray("x\n");
}

void TestSettings::prefixesPrioritiesInTheJournalOnly()
{
    QFETCH(QByteArray, variable);
    QFETCH(int, priority);
    QFETCH(QByteArray, line);
    const bool journal =
        Log::isJournal(variable.isNull() ? nullptr : variable.constData(), 8, 1234);
    QCOMPARE(QByteArray::fromStdString(Log::format(Log::Priority(priority), "x", journal)), line);
}

void TestSettings::parsesEveryProgramsOptionsOneWay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("trailing");   // operands that are never options; -1: none taken
    QTest::addColumn<QString>("result"); // what was seen, or the outcome's error
    QTest::newRow("--opt value") << QStringList{"--socket", "/s", "--once"} << 0
                                 << "socket=/s once= |";
    QTest::newRow("--opt=value") << QStringList{"--socket=/s=x", "--once"} << 0
                                 << "socket=/s=x once= |";
    QTest::newRow("operands after options")
        << QStringList{"--once", "a", "b"} << 0 << "once= | a b";
    QTest::newRow("an operand that looks like an option")
        << QStringList{"--socket=/s", "-x", "--socket", "f"} << 3 << "socket=/s | -x --socket f";
    QTest::newRow("operand where none is taken")
        << QStringList{"--once", "a"} << -1 << "error: unexpected argument 'a'";
    QTest::newRow("help wins") << QStringList{"--once", "--help"} << 0 << "help";
    QTest::newRow("version") << QStringList{"-V"} << 0 << "version";
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 0 << "error: unknown option '--bogus'";
    QTest::newRow("unknown short option") << QStringList{"-q"} << 0 << "error: unknown option '-q'";
    QTest::newRow("value missing")
        << QStringList{"--socket"} << 0 << "error: --socket needs a value";
    QTest::newRow("flag given a value")
        << QStringList{"--once=yes"} << 0 << "error: unknown option '--once=yes'";
    QTest::newRow("value refused") << QStringList{"--socket="} << 0 << "error: --socket: empty";
}

// The service's three programs parse through one function: each option either way, errors
// in one line.
void TestSettings::parsesEveryProgramsOptionsOneWay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, trailing);
    QFETCH(QString, result);
    static constexpr CommandLine::Option kOptions[] = {{"socket", true}, {"once", false}};
    std::vector<QByteArray> bytes{"program"};
    for (const QString& a : arguments)
        bytes.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    QString seen;
    std::vector<std::string> operands;
    std::string error;
    const auto outcome = CommandLine::parse(
        int(argv.size()), argv.data(), kOptions,
        [&seen](std::string_view name, std::string_view value, std::string& why) {
            seen += QString::fromUtf8(name) + "=" + QString::fromUtf8(value) + " ";
            why = "empty";
            return name != "socket" || !value.empty();
        },
        error, trailing < 0 ? nullptr : &operands, std::max(trailing, 0));
    QString got = outcome == CommandLine::Outcome::Help      ? "help"
                  : outcome == CommandLine::Outcome::Version ? "version"
                  : outcome == CommandLine::Outcome::Error
                      ? "error: " + QString::fromStdString(error)
                      : seen + "|";
    for (const std::string& operand : operands)
        got += " " + QString::fromStdString(operand);
    QCOMPARE(got, result);
}

QTEST_APPLESS_MAIN(TestSettings)
#include "tst_settings.moc"
