#include "app/PlatformChoice.h"
#include "app/QtCommandLine.h"

#include <QScopeGuard>
#include <QTest>

#include <vector>

namespace {

const QString xcb = QStringLiteral("xcb;wayland");
const QString wayland = QStringLiteral("wayland");

// Every mix of session type, Wayland socket and X display, with no platform named by the user.
std::vector<PlatformEnvironment> allSessions()
{
    std::vector<PlatformEnvironment> sessions;
    const char* types[] = {"", "x11", "wayland", "tty"};
    const char* sockets[] = {"", "wayland-0"};
    const char* displays[] = {"", ":0"};
    for (const char* type : types)
        for (const char* socket : sockets)
            for (const char* display : displays)
                sessions.push_back({QString::fromLatin1(type), QString::fromLatin1(socket),
                                    QString::fromLatin1(display), QString()});
    return sessions;
}

QByteArray describe(const PlatformEnvironment& e)
{
    return QStringLiteral("XDG_SESSION_TYPE=%1 WAYLAND_DISPLAY=%2 DISPLAY=%3")
        .arg(e.xdgSessionType, e.waylandDisplay, e.display)
        .toUtf8();
}

// Sets or clears one variable until the guard goes, then puts the old value back.
auto scopedVariable(const char* name, const char* value)
{
    const bool wasSet = qEnvironmentVariableIsSet(name);
    const QByteArray old = qgetenv(name);
    if (value)
        qputenv(name, value);
    else
        qunsetenv(name);
    return qScopeGuard([name, wasSet, old] {
        if (wasSet)
            qputenv(name, old);
        else
            qunsetenv(name);
    });
}

} // namespace

class TestPlatformChoice : public QObject
{
    Q_OBJECT

private slots:
    // With no choice of the user's: X11 wherever XWayland is there, native Wayland otherwise.
    void followsTheSession_data()
    {
        QTest::addColumn<QString>("sessionType");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("force");
        QTest::addColumn<bool>("hide");

        auto row = [](const char* name, const char* type, const char* socket, const char* display,
                      const QString& force, bool hide) {
            QTest::newRow(name) << QString::fromLatin1(type) << QString::fromLatin1(socket)
                                << QString::fromLatin1(display) << force << hide;
        };
        row("no session at all", "", "", "", QString(), true);
        row("plain X", "", "", ":0", QString(), true);
        row("x11 session", "x11", "", ":0", QString(), true);
        row("x11 session without a display", "x11", "", "", QString(), true);
        row("tty", "tty", "", "", QString(), true);
        row("tty with a display", "tty", "", ":0", QString(), true);
        row("wayland with XWayland", "wayland", "wayland-0", ":0", xcb, true);
        row("wayland without XWayland", "wayland", "wayland-0", "", wayland, false);
        row("wayland type, no socket name", "wayland", "", ":0", xcb, true);
        row("wayland type only", "wayland", "", "", wayland, false);
        row("session type in capitals", "Wayland", "wayland-0", ":0", xcb, true);
        row("socket only, with a display", "", "wayland-0", ":0", xcb, true);
        row("socket only", "", "wayland-0", "", wayland, false);
        // Qt itself goes to Wayland when the socket is set, whatever the session type says.
        row("x11 type with a wayland socket", "x11", "wayland-0", ":0", xcb, true);
        row("x11 type, wayland socket, no display", "x11", "wayland-0", "", wayland, false);
        row("compositor started from a tty", "tty", "wayland-0", ":1", xcb, true);
        row("compositor from a tty, no XWayland", "tty", "wayland-0", "", wayland, false);
    }
    void followsTheSession()
    {
        QFETCH(QString, sessionType);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, display);
        QFETCH(QString, force);
        QFETCH(bool, hide);

        const PlatformEnvironment environment{sessionType, waylandDisplay, display, QString()};
        const PlatformChoice choice = choosePlatform(environment, {QStringLiteral("vorelin")});
        QCOMPARE(choice.force, force);
        QCOMPARE(choice.hideOnMinimize, hide);
    }

    // A platform the user named stands, in every kind of session.
    void theUsersChoiceStands_data()
    {
        QTest::addColumn<QString>("qtQpaPlatform");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("force");

        const QString none;
        auto row = [](const char* name, const QString& variable, const QStringList& arguments,
                      const QString& force) {
            QTest::newRow(name) << variable << (QStringList{QStringLiteral("vorelin")} + arguments)
                                << force;
        };
        row("variable: wayland", wayland, {}, none);
        row("variable: xcb", QStringLiteral("xcb"), {}, none);
        row("variable: a list", QStringLiteral("wayland;xcb"), {}, none);
        row("variable: offscreen", QStringLiteral("offscreen"), {}, none);
        // Qt reads these two itself, ahead of the variable.
        row("-platform wayland", none, {QStringLiteral("-platform"), wayland}, none);
        row("--platform xcb", none, {QStringLiteral("--platform"), QStringLiteral("xcb")}, none);
        row("-platform over the variable", QStringLiteral("xcb"),
            {QStringLiteral("-platform"), wayland}, none);
        // Qt passes the joined form over, so it is handed on through the variable.
        row("-platform=wayland", none, {QStringLiteral("-platform=wayland")}, wayland);
        row("--platform=xcb", none, {QStringLiteral("--platform=xcb")}, QStringLiteral("xcb"));
        row("-platform=list", none, {QStringLiteral("-platform=wayland;xcb")},
            QStringLiteral("wayland;xcb"));
        row("-platform= over the variable", QStringLiteral("xcb"),
            {QStringLiteral("-platform=wayland")}, wayland);
        row("last joined form wins", none,
            {QStringLiteral("-platform=xcb"), QStringLiteral("-platform=wayland-egl")},
            QStringLiteral("wayland-egl"));
        row("Qt's form over the joined one", none,
            {QStringLiteral("-platform=wayland"), QStringLiteral("-platform"),
             QStringLiteral("xcb")},
            none);
        row("among other arguments", none,
            {QStringLiteral("-style"), QStringLiteral("fusion"), QStringLiteral("-platform"),
             QStringLiteral("offscreen"), QStringLiteral("file")},
            none);
    }
    void theUsersChoiceStands()
    {
        QFETCH(QString, qtQpaPlatform);
        QFETCH(QStringList, arguments);
        QFETCH(QString, force);

        for (PlatformEnvironment session : allSessions()) {
            session.qtQpaPlatform = qtQpaPlatform;
            const PlatformChoice choice = choosePlatform(session, arguments);
            const QByteArray where = describe(session);
            QVERIFY2(choice.force == force, where + " forced " + choice.force.toUtf8());
            QVERIFY2(choice.hideOnMinimize, where);
        }
    }

    // Empty values and look-alike arguments are no choice: the session decides as without them.
    void noChoiceWhenNothingIsNamed_data()
    {
        QTest::addColumn<QString>("qtQpaPlatform");
        QTest::addColumn<QStringList>("arguments");

        auto row = [](const char* name, const QString& variable, const QStringList& arguments) {
            QTest::newRow(name) << variable << (QStringList{QStringLiteral("vorelin")} + arguments);
        };
        row("nothing", QString(), {});
        row("empty variable", QStringLiteral(""), {});
        row("trailing -platform, which Qt skips", QString(), {QStringLiteral("-platform")});
        row("-platform= with no name", QString(), {QStringLiteral("-platform=")});
        row("-platformtheme", QString(), {QStringLiteral("-platformtheme"), wayland});
        row("-platformpluginpath=", QString(), {QStringLiteral("-platformpluginpath=/tmp")});
        row("a name without the option", QString(), {wayland});
        QTest::newRow("program named -platform=wayland")
            << QString() << QStringList{QStringLiteral("-platform=wayland")};
    }
    void noChoiceWhenNothingIsNamed()
    {
        QFETCH(QString, qtQpaPlatform);
        QFETCH(QStringList, arguments);

        for (PlatformEnvironment session : allSessions()) {
            const PlatformChoice expected = choosePlatform(session, {QStringLiteral("vorelin")});
            session.qtQpaPlatform = qtQpaPlatform;
            const PlatformChoice choice = choosePlatform(session, arguments);
            QVERIFY2(choice == expected, describe(session) + " forced " + choice.force.toUtf8());
        }
        // And the session does decide: with XWayland this is not Qt's own choice.
        const PlatformEnvironment xwayland{wayland, QStringLiteral("wayland-0"),
                                           QStringLiteral(":0"), qtQpaPlatform};
        QCOMPARE(choosePlatform(xwayland, arguments).force, xcb);
    }

    // Hiding needs both the decision and a platform that is not Wayland once Qt is up.
    void hidingDependsOnThePlatformInUse_data()
    {
        QTest::addColumn<bool>("decided");
        QTest::addColumn<QString>("platformInUse");
        QTest::addColumn<bool>("hides");

        QTest::newRow("xcb") << true << QStringLiteral("xcb") << true;
        QTest::newRow("wayland") << true << wayland << false;
        QTest::newRow("wayland-egl") << true << QStringLiteral("wayland-egl") << false;
        QTest::newRow("wayland-generic") << true << QStringLiteral("wayland-generic") << false;
        QTest::newRow("offscreen") << true << QStringLiteral("offscreen") << true;
        QTest::newRow("decided against, on xcb") << false << QStringLiteral("xcb") << false;
        QTest::newRow("decided against, on wayland") << false << wayland << false;
    }
    void hidingDependsOnThePlatformInUse()
    {
        QFETCH(bool, decided);
        QFETCH(QString, platformInUse);
        QFETCH(bool, hides);

        PlatformChoice choice;
        choice.hideOnMinimize = decided;
        QCOMPARE(choice.hidesOnMinimize(platformInUse), hides);
    }

    // The process's own variables and argv reach the decision, and the result reaches Qt.
    void appliesToThisProcess()
    {
        const auto session = scopedVariable("XDG_SESSION_TYPE", "wayland");
        const auto socket = scopedVariable("WAYLAND_DISPLAY", "wayland-7");
        const auto display = scopedVariable("DISPLAY", ":7");
        const auto platform = scopedVariable("QT_QPA_PLATFORM", "");

        const PlatformEnvironment read = PlatformEnvironment::current();
        QCOMPARE(read.xdgSessionType, wayland);
        QCOMPARE(read.waylandDisplay, QStringLiteral("wayland-7"));
        QCOMPARE(read.display, QStringLiteral(":7"));
        QVERIFY(read.qtQpaPlatform.isEmpty());

        char program[] = "vorelin";
        char* argv[] = {program, nullptr};
        const PlatformChoice choice = applyPlatformChoice(1, argv);
        QCOMPARE(choice.force, xcb);
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), xcb.toUtf8());

        // Now the variable is set, so a second decision leaves it alone.
        QVERIFY(applyPlatformChoice(1, argv).force.isEmpty());
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), xcb.toUtf8());
    }

    void unsetVariablesReadAsEmpty()
    {
        const auto session = scopedVariable("XDG_SESSION_TYPE", nullptr);
        const auto socket = scopedVariable("WAYLAND_DISPLAY", nullptr);
        const auto display = scopedVariable("DISPLAY", "");
        const auto platform = scopedVariable("QT_QPA_PLATFORM", nullptr);

        const PlatformEnvironment read = PlatformEnvironment::current();
        QVERIFY(read.xdgSessionType.isEmpty());
        QVERIFY(read.waylandDisplay.isEmpty());
        QVERIFY(read.display.isEmpty());
        QVERIFY(read.qtQpaPlatform.isEmpty());

        char program[] = "vorelin";
        char joined[] = "-platform=offscreen";
        char* argv[] = {program, joined, nullptr};
        QVERIFY(applyPlatformChoice(1, argv).force.isEmpty());
        QVERIFY(!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"));

        QCOMPARE(applyPlatformChoice(2, argv).force, QStringLiteral("offscreen"));
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), QByteArray("offscreen"));
    }

    // The window and the inbox: their own options either way, Qt's left to Qt, faults in one
    // line that points to --help.
    void readsTheCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");   // -1: runs
        QTest::addColumn<QString>("said"); // what it prints, or the value of --socket
        const auto row = [](const char* name, const QStringList& arguments, int status,
                            const char* said) {
            QTest::newRow(name) << arguments << status << QString::fromUtf8(said);
        };
        row("nothing", {}, -1, "default");
        row("--opt value", {"--socket", "/s"}, -1, "/s");
        row("--opt=value", {"--socket=/s"}, -1, "/s");
        row("Qt's own, every way",
            {"-style", "Fusion", "--platform=offscreen", "-reverse", "--socket", "/s",
             "-stylesheet", "x.qss"},
            -1, "/s");
        row("help", {"-style", "Fusion", "--help"}, 0, "Usage: prog [options]\n");
        row("version", {"--version"}, 0, "prog 1.2.3\n");
        row("unknown option", {"--bogus"}, 2, "prog: Unknown option 'bogus'. (see prog --help)\n");
        row("value missing", {"--socket"}, 2,
            "prog: Missing value after '--socket'. (see prog --help)\n");
        row("an operand", {"x"}, 2, "prog: unexpected argument 'x' (see prog --help)\n");
    }

    void readsTheCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QCommandLineParser parser;
        const QCommandLineOption socket(QStringLiteral("socket"), QStringLiteral("the socket"),
                                        QStringLiteral("PATH"), QStringLiteral("default"));
        parser.addOption(socket);
        const CommandLineResult result =
            readCommandLine(parser, QStringLiteral("prog"), QStringLiteral("1.2.3"),
                            QStringList{QStringLiteral("prog")} + arguments);
        QCOMPARE(result.exitStatus.value_or(-1), status);
        if (status < 0)
            QCOMPARE(parser.value(socket), said);
        else
            QVERIFY2((status ? result.err : result.out).startsWith(said),
                     qPrintable(result.out + result.err));
        QVERIFY(status ? result.out.isEmpty() : result.err.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPlatformChoice)
#include "tst_platformchoice.moc"
