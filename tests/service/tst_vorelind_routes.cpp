// The other ways in: vorelind started by systemd-socket-activate with the sockets systemd would
// pass (both, or the local one alone), and the route beside Samba, where smbd holds the port
// and its message command runs vorelin-deliver.

#include "support/PrivateSmbd.h"
#include "support/RawSession.h"
#include "support/VorelindProcess.h"
#include "support/WireBuilders.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

using namespace Wire;

namespace {

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (condition())
            return true;
        QThread::msleep(10);
    }
    return condition();
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The account smbd runs its message command as must reach the socket.
void openFoldersTo(const QString& path)
{
    for (QString at = path; at != QStringLiteral("/"); at = QFileInfo(at).path())
        ::chmod(QFile::encodeName(QFileInfo(at).path()).constData(), 0755);
}

} // namespace

class TestVorelindRoutes : public QObject
{
    Q_OBJECT

private slots:
    void runsWithTheSocketsSystemdPasses_data();
    void runsWithTheSocketsSystemdPasses();
    void takesMessagesThatSmbdHandsIn();
    void refusesHandInsFromOtherUsers();
};

void TestVorelindRoutes::runsWithTheSocketsSystemdPasses_data()
{
    QTest::addColumn<bool>("session");
    QTest::newRow("inbox and session") << true;
    QTest::newRow("inbox only (port 139 held elsewhere)") << false;
}

void TestVorelindRoutes::runsWithTheSocketsSystemdPasses()
{
    QFETCH(bool, session);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("state")));
    const QString socket = dir.filePath(QStringLiteral("inbox.socket"));
    const std::uint16_t port = freeTcpPort();
    const QString activate =
        QStandardPaths::findExecutable(QStringLiteral("systemd-socket-activate"));
    QVERIFY2(!activate.isEmpty(), "systemd-socket-activate is missing (package systemd)");

    // One activator per socket, nested: the outer one's socket is passed through, and the inner
    // one names every socket it passes.
    QStringList arguments;
    if (session)
        arguments << "-l" << QStringLiteral("127.0.0.1:%1").arg(port) << "--fdname=session"
                  << activate;
    arguments << "-l" << socket << (session ? "--fdname=session:inbox" : "--fdname=inbox")
              << QStringLiteral(VORELIND_PATH) << "--config"
              << "/dev/null"
              << "--state-dir" << dir.filePath("state") << "--computer-name"
              << "VTEST";
    QProcess activator;
    activator.setStandardErrorFile(dir.filePath(QStringLiteral("log")));
    activator.start(activate, arguments);
    QVERIFY(activator.waitForStarted());

    RawSession sender;
    if (session) {
        // The outer activator starts the inner one on this connection...
        QVERIFY(
            waitFor([&] { return sender.open(port, QStringLiteral("127.0.0.1"), 1000); }, 10000));
        QVERIFY(sender.send(sessionRequest("VTEST") + message(text("activated"))));
    }
    // ...and the inner one starts vorelind on a connection to the local socket.
    QLocalSocket trigger;
    QVERIFY(waitFor(
        [&] {
            trigger.connectToServer(socket);
            return trigger.waitForConnected(500);
        },
        10000));
    QVERIFY(waitFor(
        [&] { return readAll(dir.filePath("log")).contains(QStringLiteral("listening as VTEST")); },
        10000));
    const QString log = readAll(dir.filePath("log"));
    if (session)
        QCOMPARE(hex(sender.read(kPositive.size() + messageAccepted(9).size())),
                 hex(kPositive + messageAccepted(9)));
    else
        QVERIFY2(log.contains(QStringLiteral("session service off")), qPrintable(log));
    const auto messages = receiveOnce(socket);
    QCOMPARE(messages.size(), session ? 1 : 0);
    if (session)
        QCOMPARE(messages[0][QStringLiteral("text")].toString(), QStringLiteral("activated"));
    activator.terminate();
    QVERIFY(activator.waitForFinished(5000));
}

void TestVorelindRoutes::takesMessagesThatSmbdHandsIn()
{
    // vorelind's folders must be reachable by the account smbd runs the command as: nobody
    // when we are root (the default hand-in account), else ourselves.
    const auto service = VorelindProcess::started(
        ::geteuid() == 0 ? QStringList()
                         : QStringList{"--message-command-account", qEnvironmentVariable("USER")});
    QVERIFY(service);
    openFoldersTo(service->socketPath());

    PrivateSmbd smbd;
    QString error;
    QVERIFY2(smbd.start(QStringLiteral("%1 --socket %2 %f %m %s")
                            .arg(QStringLiteral(VORELIN_DELIVER_PATH), service->socketPath()),
                        false, error),
             qPrintable(error));

    // Eight clients of the hand-in account already connected, a user's whole share: smbd's
    // hand-in still gets through. The service knows a client by its effective id at connect.
    std::vector<std::unique_ptr<QLocalSocket>> held;
    const passwd* nobody = ::getpwnam("nobody");
    QVERIFY(nobody);
    QCOMPARE(::seteuid(::geteuid() == 0 ? nobody->pw_uid : ::geteuid()), 0);
    for (int i = 0; i < 8; ++i) {
        held.push_back(std::make_unique<QLocalSocket>());
        held.back()->connectToServer(service->socketPath());
        held.back()->waitForConnected(5000);
    }
    QCOMPARE(::seteuid(::getuid()), 0);
    for (auto& client : held)
        QVERIFY(
            waitFor([&] { return client->waitForReadyRead(10) || client->canReadLine(); }, 5000) &&
            client->readLine().contains("\"hello\""));

    // smbclient -M to smbd; smbd's command hands the message in; vorelin-recv prints it.
    QVERIFY(runProgram(QStringLiteral("smbclient"),
                       {"-M", "VTESTSMBD", "-I", "127.0.0.1", "-p", QString::number(smbd.port()),
                        "-U", "alice%", "-n", "SENDERBOX"},
                       "Through smbd\nand back")
                .exitCode >= 0);
    QList<QJsonObject> messages;
    QVERIFY2(waitFor([&] { return !(messages = service->receiveOnce()).isEmpty(); }, 10000),
             qPrintable(service->log() + smbd.log()));
    QCOMPARE(fields(messages[0], {"text", "from", "address", "called"}),
             (QStringList{"Through smbd\nand back", "alice", "", "VTEST"}));
}

void TestVorelindRoutes::refusesHandInsFromOtherUsers()
{
    if (::geteuid() != 0)
        QSKIP("acting as another local user needs root");
    const auto service = VorelindProcess::started();
    QVERIFY(service);
    openFoldersTo(service->socketPath());
    QTemporaryDir dir(QStringLiteral("/tmp/vorelin-stranger-XXXXXX"));
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    QFile text(dir.filePath(QStringLiteral("stranger.txt")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not allowed");
    text.close();
    ::chmod(QFile::encodeName(text.fileName()).constData(), 0666);
    // daemon is neither root nor the hand-in account.
    const ProgramRun stranger = runProgram(
        QStringLiteral("setpriv"),
        {"--reuid=daemon", "--regid=daemon", "--clear-groups", QStringLiteral(VORELIN_DELIVER_PATH),
         "--socket", service->socketPath(), "mallory", "ELSEWHERE", text.fileName()},
        {}, 10000);
    QCOMPARE(stranger.exitCode, 1);
    QVERIFY2(stranger.output.contains(QStringLiteral("not allowed")), "no refusal reported");
    QVERIFY(service->receiveOnce().isEmpty());
    QVERIFY(service->log().contains(QStringLiteral("hand-in refused")));
}

QTEST_GUILESS_MAIN(TestVorelindRoutes)
#include "tst_vorelind_routes.moc"
