#include "support/RawSession.h"
#include "support/VorelindProcess.h"
#include "support/WireBuilders.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

#include <memory>
#include <vector>

using namespace Wire;

namespace {

// vorelin-send -I 127.0.0.1 -p PORT [-f FROM] RECIPIENT, the text on standard input.
ProgramRun vorelinSend(std::uint16_t port, const QString& recipient, const QString& text,
                       const QString& from = {})
{
    QStringList arguments{"-I", "127.0.0.1", "-p", QString::number(port)};
    if (!from.isEmpty())
        arguments << "-f" << from;
    return runProgram(QStringLiteral(VORELIN_SEND_PATH), arguments << recipient, text.toUtf8());
}

// vorelind's arguments that let this test's own account hand messages in, as smbd's would.
QStringList handInsFromUs()
{
    const passwd* self = ::getpwuid(::geteuid());
    return {QStringLiteral("--message-command-account"),
            QString::fromLocal8Bit(self ? self->pw_name : "root")};
}

// vorelin-deliver's arguments as smbd's message command gives them: --socket SOCKET [options]
// FROM SENDERBOX FILE, FILE being msg.txt in dir, holding text.
QStringList handIn(const QTemporaryDir& dir, const QString& socket, const QString& from,
                   const QByteArray& text, const QStringList& options = {})
{
    QFile file(dir.filePath(QStringLiteral("msg.txt")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return {};
    return QStringList{"--socket", socket} + options +
           QStringList{from, "SENDERBOX", file.fileName()};
}

} // namespace

Q_DECLARE_METATYPE(Bytes)

class TestVorelind : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deliversWhatVorelinSendSends_data();
    void deliversWhatVorelinSendSends();
    void answersARawClient_data();
    void answersARawClient();
    void closesSessionsThatOnlyLookAlive_data();
    void closesSessionsThatOnlyLookAlive();
    void servesASecondAddressUnderAFlood_data();
    void servesASecondAddressUnderAFlood();
    void holdsEachMessageLimit_data();
    void holdsEachMessageLimit();
    void vorelinRecvPrintsAndReconnects();
    void limitsLocalClientsPerUser_data();
    void limitsLocalClientsPerUser();
    void namesAConfigurationErrorInOneLine_data();
    void namesAConfigurationErrorInOneLine();
    void cleanupTestCase();

private:
    std::unique_ptr<VorelindProcess> m_service;
};

void TestVorelind::initTestCase()
{
    m_service = VorelindProcess::started({"--messages-per-minute", "0"});
    QVERIFY(m_service);
}

void TestVorelind::cleanupTestCase()
{
    m_service.reset();
}

void TestVorelind::deliversWhatVorelinSendSends_data()
{
    QTest::addColumn<QString>("recipient");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("called");

    const auto row = [](const char* name, const QString& recipient, const QString& from,
                        const QString& text, const QString& expected, const QString& called) {
        QTest::newRow(name) << recipient << from << text << expected << called;
    };
    QString lines;
    for (int i = 0; i < 20; ++i)
        lines += QString(49, QChar('a' + i)) + QLatin1Char('\n');
    row("short", "VTEST", "", "Hello", "Hello", "VTEST");
    row("1,000 characters on 20 lines", "VTEST", "", lines, lines.chopped(1), "VTEST");
    row("CP850 letters", "VTEST", "", QString::fromUtf8("ñ á ü Ç ß"),
        QString::fromUtf8("ñ á ü Ç ß"), "VTEST");
    row("every line-break form", "VTEST", "", "a\rb\nc\r\nd\n\re", "a\nb\nc\nd\n\ne", "VTEST");
    row("lower-case recipient", "vtest", "", "x", "x", "VTEST");
    row("the address as the name", "127.0.0.1", "", "x", "x", "127.0.0.1");
    row("sender name as received", "VTEST", "Alice", "x", "x", "VTEST");
    row("an unknown name refused", "NOBODYHERE", "", "x", QString(), QString());
}

void TestVorelind::deliversWhatVorelinSendSends()
{
    QFETCH(QString, recipient);
    QFETCH(QString, from);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(QString, called);

    const ProgramRun sent = vorelinSend(m_service->port(), recipient, text, from);
    if (expected.isNull()) {
        QCOMPARE(sent.exitCode, 1);
        QVERIFY2(sent.output.contains(QStringLiteral("2273")), qPrintable(sent.output));
        QVERIFY(m_service->receiveOnce().isEmpty());
        return;
    }
    QVERIFY2(sent.exitCode == 0, qPrintable(sent.output + m_service->log()));
    QString error;
    const auto messages = m_service->receiveOnce(&error);
    QVERIFY2(messages.size() == 1, qPrintable(error));
    const QJsonObject& m = messages[0];
    QCOMPARE(fields(m, {"text", "called", "to", "address"}),
             (QStringList{expected, called, called, "127.0.0.1"}));
    QVERIFY(!fields(m, {"machine", "id"}).contains(QString()));
    if (!from.isEmpty())
        QCOMPARE(m[QStringLiteral("from")].toString().toUpper(), from.toUpper());
    // Printed and acknowledged: gone.
    QVERIFY(m_service->receiveOnce().isEmpty());
}

void TestVorelind::answersARawClient_data()
{
    QTest::addColumn<QStringList>("options"); // empty: the shared service
    QTest::addColumn<Bytes>("input");
    QTest::addColumn<Bytes>("expected");
    QTest::addColumn<QStringList>("delivered");
    QTest::addColumn<bool>("closes");

    const auto row = [](const char* name, const Bytes& input, const Bytes& expected,
                        const QStringList& delivered, bool closes = false,
                        const QStringList& options = {}) {
        QTest::newRow(name) << options << input << expected << delivered << closes;
    };
    const Bytes request = sessionRequest("VTEST");
    Bytes replies4096 = kPositive + ok(0xD5, {1});
    for (int i = 0; i < 31; ++i)
        replies4096 = replies4096 + ok(0xD7);
    row("4,095 bytes delivered", request + message(Bytes(4095, 'b')),
        kPositive + messageAccepted(4095), {QString(4095, 'b')});
    row("4,096 bytes refused", request + message(Bytes(4096, 'b')),
        replies4096 + error(0xD7, 0x02, 0x53) + error(0xD6, 0x01, 87), {});
    row("empty text refused", request + start() + end(),
        kPositive + ok(0xD5, {1}) + error(0xD6, 0x01, 87), {});
    row("text before start, then a new start mid-message",
        request + textBlock(text("early")) + start() + textBlock(text("old")) +
            message(text("new")),
        kPositive + error(0xD7, 0x01, 87) + ok(0xD5, {1}) + ok(0xD7) + messageAccepted(3), {"new"});
    row("garbage", text("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), {}, {}, true);
    row("oversized length", request + Bytes{0x00, 0x01, 0xFF, 0xFF}, kPositive, {}, true);
    // The bytes 82 9B 80 in the configured code page.
    const Bytes oem = request + message(Bytes{0x82, 0x9B, 0x80});
    const Bytes accepted = kPositive + messageAccepted(3);
    row("code page 850, built in", oem, accepted, {QString::fromUtf8("éøÇ")}, false,
        {"--code-page", "850"});
    row("code page 437, from iconv", oem, accepted, {QString::fromUtf8("é¢Ç")}, false,
        {"--code-page", "437"});
    row("code page 866, from iconv", oem, accepted, {QString::fromUtf8("ВЫА")}, false,
        {"--code-page", "866"});
}

void TestVorelind::answersARawClient()
{
    QFETCH(QStringList, options);
    QFETCH(Bytes, input);
    QFETCH(Bytes, expected);
    QFETCH(QStringList, delivered);
    QFETCH(bool, closes);

    const auto own = options.isEmpty() ? nullptr : VorelindProcess::started(options);
    QVERIFY(options.isEmpty() || own);
    const VorelindProcess& service = own ? *own : *m_service;
    RawSession session;
    QVERIFY(session.open(service.port()));
    QCOMPARE(hex(session.exchange(input, expected.size())), hex(expected));
    if (closes)
        QVERIFY(session.waitClosed(5000));
    QCOMPARE(service.receivedTexts(), delivered);
}

void TestVorelind::closesSessionsThatOnlyLookAlive_data()
{
    QTest::addColumn<Bytes>("opening");
    QTest::addColumn<Bytes>("repeated");

    QTest::newRow("keep-alives forever") << sessionRequest("VTEST") << Bytes{0x85, 0, 0, 0};
    QTest::newRow("keep-alives before any request") << Bytes{} << Bytes{0x85, 0, 0, 0};
    QTest::newRow("slow drip of a request") << Bytes{0x81, 0x00} << Bytes{0x00};
    QTest::newRow("other commands forever") << sessionRequest("VTEST") << smb(0x72, {}, {});
    QTest::newRow("a message that never ends")
        << sessionRequest("VTEST") + start() << textBlock(text("more"));
}

void TestVorelind::closesSessionsThatOnlyLookAlive()
{
    QFETCH(Bytes, opening);
    QFETCH(Bytes, repeated);

    // Idle 400 ms, a message 1 s; each repetition comes every 100 ms, so only the limits end it.
    const auto service =
        VorelindProcess::started({"--idle-timeout", "400ms", "--message-timeout", "1s"});
    QVERIFY(service);
    RawSession session;
    QVERIFY(session.open(service->port()));
    QVERIFY(session.send(opening));
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
        session.send(repeated);
        closed = session.waitClosed(100);
    }
    QVERIFY2(closed, "the session outlived every limit");
    QVERIFY(service->receiveOnce().isEmpty());
}

void TestVorelind::servesASecondAddressUnderAFlood_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("floodSize");
    QTest::addColumn<QByteArray>("called"); // by each connection of the flood
    QTest::addColumn<int>("held");
    QTest::addColumn<bool>("secondServed");

    QTest::newRow("4 per address") << QStringList{} << 100 << QByteArray("VTEST") << 4 << true;
    QTest::newRow("3 in all") << QStringList{"--max-sessions", "3"} << 100 << QByteArray("VTEST")
                              << 3 << false;
    // More than the connection table holds, each kept open so that it lingers: the oldest make
    // room for a newcomer.
    QTest::newRow("refused connections lingering")
        << QStringList{} << 520 << QByteArray("NOBODY") << 0 << true;
}

void TestVorelind::servesASecondAddressUnderAFlood()
{
    QFETCH(QStringList, options);
    QFETCH(int, floodSize);
    QFETCH(QByteArray, called);
    QFETCH(int, held);
    QFETCH(bool, secondServed);

    const auto service = VorelindProcess::started(options);
    QVERIFY(service);
    const qint64 rssBefore = service->residentKiB();
    std::vector<std::unique_ptr<RawSession>> flood;
    for (int i = 0; i < floodSize; ++i) {
        flood.push_back(std::make_unique<RawSession>());
        // Connections beyond the listen queue may be refused outright: that holds the limit too.
        if (flood.back()->open(service->port(), QStringLiteral("127.0.0.3")))
            flood.back()->send(sessionRequest(called.toStdString()));
    }
    int accepted = 0;
    int refused = 0;
    for (auto& session : flood) {
        const Bytes answer = session->read(4, 3000);
        if (answer == kPositive)
            ++accepted;
        else if (answer == Bytes{0x83, 0, 0, 1})
            ++refused;
    }
    QCOMPARE(accepted, held);
    QVERIFY2(refused > 0, "nobody was refused");

    RawSession second;
    QVERIFY(second.open(service->port(), QStringLiteral("127.0.0.2")));
    const Bytes input = sessionRequest("VTEST") + message(text("through"));
    const Bytes expected = secondServed ? kPositive + messageAccepted(7) : negative(0x83);
    QCOMPARE(hex(second.exchange(input, expected.size())), hex(expected));
    QCOMPARE(service->receiveOnce().size(), secondServed ? 1 : 0);
    // Memory stays bounded: the flood costs little beyond what the idle service holds.
    if (VorelindProcess::kMemoryMeasurable) {
        const qint64 growth = service->residentKiB() - rssBefore;
        QVERIFY2(rssBefore > 0 && growth < 8 * 1024, qPrintable(QString::number(growth)));
    }
}

void TestVorelind::holdsEachMessageLimit_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QList<int>>("exitCodes"); // one vorelin-send per entry

    QTest::newRow("messages per minute")
        << QStringList{"--messages-per-minute", "2"} << "" << QList<int>{0, 0, 1};
    QTest::newRow("spool message cap")
        << QStringList{"--spool-max-messages", "1"} << "" << QList<int>{0, 1};
    QTest::newRow("blocked sender")
        << QStringList{"--blocked-senders", "mallory"} << "MALLORY" << QList<int>{1};
    QTest::newRow("blocked address")
        << QStringList{"--blocked-addresses", "127.0.0.1"} << "" << QList<int>{1};
}

void TestVorelind::holdsEachMessageLimit()
{
    QFETCH(QStringList, options);
    QFETCH(QString, from);
    QFETCH(QList<int>, exitCodes);

    const auto service = VorelindProcess::started(options);
    QVERIFY(service);
    QList<int> got;
    for (int i = 0; i < exitCodes.size(); ++i)
        got << vorelinSend(service->port(), "VTEST", "m", from).exitCode;
    QCOMPARE(got, exitCodes);
    QCOMPARE(service->receiveOnce().size(), int(exitCodes.count(0)));
    QVERIFY2(service->log().contains(QStringLiteral("outcome=refused")),
             qPrintable(service->log()));
}

void TestVorelind::vorelinRecvPrintsAndReconnects()
{
    const auto service =
        VorelindProcess::started(QStringList{"--messages-per-minute", "0"} + handInsFromUs());
    QVERIFY(service);
    QProcess recv;
    recv.start(QStringLiteral(VORELIN_RECV_PATH),
               {QStringLiteral("--socket"), service->socketPath()});
    QVERIFY(recv.waitForStarted());
    // Reads what recv printed until it holds the text, bounded.
    const auto printed = [&](const QString& text) {
        QString seen;
        const QDeadlineTimer deadline(10000);
        while (!seen.contains(text) && !deadline.hasExpired()) {
            recv.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            seen += QString::fromUtf8(recv.readAllStandardOutput());
        }
        return seen;
    };

    // A terminal escape from the network is shown, not obeyed.
    QCOMPARE(vorelinSend(service->port(), "VTEST", "red\x1b[31m").exitCode, 0);
    const QString first = printed(QStringLiteral("red"));
    QVERIFY2(first.contains(QStringLiteral("Message from ")) &&
                 first.contains(QStringLiteral(" to VTEST on ")) &&
                 first.contains(QStringLiteral("red\uFFFD[31m")),
             qPrintable(first));

    // Nor can bidi or invisible format characters, in a name or the text, disguise a message.
    QTemporaryDir dir;
    const ProgramRun hidden =
        runProgram(QStringLiteral(VORELIN_DELIVER_PATH),
                   handIn(dir, service->socketPath(), QStringLiteral("ev\u202Eil"),
                          QStringLiteral("txt\u2066x\u200F").toUtf8()));
    QVERIFY2(hidden.exitCode == 0, qPrintable(hidden.output + service->log()));
    const QString second = printed(QStringLiteral("\n\n"));
    QVERIFY2(second.contains(QStringLiteral("Message from ev\uFFFDil to ")) &&
                 second.contains(QStringLiteral("txt\uFFFDx\uFFFD")),
             qPrintable(second));

    service->stop();
    QString error;
    QVERIFY2(service->restart(error), qPrintable(error));
    QCOMPARE(vorelinSend(service->port(), "VTEST", "again").exitCode, 0);
    QVERIFY(printed(QStringLiteral("again")).contains(QStringLiteral("again")));
    recv.terminate();
    recv.waitForFinished(5000);
}

void TestVorelind::limitsLocalClientsPerUser_data()
{
    QTest::addColumn<bool>("handIns"); // this test's account is smbd's
    QTest::addColumn<int>("held");
    QTest::newRow("a user's clients") << false << 8;
    QTest::newRow("hand-ins, apart from any user's") << true << 64;
}

void TestVorelind::limitsLocalClientsPerUser()
{
    QFETCH(bool, handIns);
    QFETCH(int, held);

    const auto own = handIns ? VorelindProcess::started(handInsFromUs()) : nullptr;
    VorelindProcess& service = handIns ? *own : *m_service;
    const auto refusals = [&] {
        return service.log().count(QStringLiteral("local client refused"));
    };
    const int refusedBefore = refusals();
    // The first line each client gets: a hello for those within the limit; the next is told
    // why it is refused, never just closed.
    const auto connect = [&] {
        auto client = std::make_unique<QLocalSocket>();
        client->connectToServer(service.socketPath());
        client->waitForConnected(5000);
        const QDeadlineTimer deadline(5000);
        while (!client->canReadLine() && client->state() == QLocalSocket::ConnectedState &&
               !deadline.hasExpired())
            client->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        return client;
    };
    std::vector<std::unique_ptr<QLocalSocket>> clients;
    for (int i = 0; i <= held; ++i) {
        auto client = connect();
        const QByteArray line = client->canReadLine() ? client->readLine() : QByteArray();
        if (i < held)
            QVERIFY2(line.contains("\"hello\""), line.constData());
        else
            QVERIFY2(line.contains("\"refused\"") && line.contains("busy"), line.constData());
        clients.push_back(std::move(client));
    }
    QCOMPARE(refusals(), refusedBefore + 1);
    if (!handIns)
        return;

    // vorelin-deliver tries again while the hand-ins are all taken, and gets through once
    // one place is free.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("msg.txt"));
    QProcess deliver;
    deliver.start(QStringLiteral(VORELIN_DELIVER_PATH),
                  handIn(dir, service.socketPath(), "alice", "waited", {"--retry-interval", "50"}));
    const QDeadlineTimer deadline(10000);
    while (refusals() < refusedBefore + 2 && !deadline.hasExpired())
        deliver.waitForFinished(20);
    QVERIFY2(refusals() >= refusedBefore + 2, qPrintable(service.log()));
    QVERIFY(QFile::exists(path)); // not yet acknowledged: still smbd's
    clients.pop_back();           // the refused one
    clients.pop_back();           // a place is free
    QVERIFY(deliver.waitForFinished(15000));
    QCOMPARE(deliver.exitCode(), 0);
    QVERIFY(!QFile::exists(path));

    // Refused until its time is up: it says why, and the text stays where it was. The place
    // deliver left is taken again as soon as the service has seen it go.
    for (int i = 0; i < 100 && int(clients.size()) < held; ++i) {
        auto client = connect();
        if (client->canReadLine() && client->readLine().contains("\"hello\""))
            clients.push_back(std::move(client));
        else
            QTest::qWait(20);
    }
    QCOMPARE(int(clients.size()), held);
    const ProgramRun lost = runProgram(QStringLiteral(VORELIN_DELIVER_PATH),
                                       handIn(dir, service.socketPath(), "bob", "never taken",
                                              {"--retry-interval", "50", "--retry-for", "300"}));
    QCOMPARE(lost.exitCode, 1);
    QVERIFY2(lost.output.contains(QStringLiteral("busy")) && QFile::exists(path),
             qPrintable(lost.output));
    clients.clear();
    QCOMPARE(service.receivedTexts(), QStringList{"waited"});
}

void TestVorelind::namesAConfigurationErrorInOneLine_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("arguments"); // %1: the file
    QTest::addColumn<QString>("line");          // after "vorelind: "; %1: the file

    QTest::newRow("--config=FILE is read")
        << QByteArray("colour = red\n") << QStringList{"--config=%1"}
        << "%1:1: unknown setting 'colour'";
    QTest::newRow("--config FILE is read")
        << QByteArray("\nmax-sessions = 0\n") << QStringList{"--config", "%1"}
        << "%1:2: bad value '0' for max-sessions";
    QTest::newRow("a bad option") << QByteArray() << QStringList{"--max-sessions", "x"}
                                  << "--max-sessions: bad value 'x' for max-sessions";
    QTest::newRow("a multi-byte code page")
        << QByteArray() << QStringList{"--code-page", "932"} << "CP932 is a multi-byte code page";
}

void TestVorelind::namesAConfigurationErrorInOneLine()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vorelind.conf"));
    QFile conf(path);
    QVERIFY(conf.open(QIODevice::WriteOnly) && conf.write(file) == file.size());
    conf.close();
    for (QString& argument : arguments)
        argument.replace(QStringLiteral("%1"), path);
    const ProgramRun vorelind =
        runProgram(QStringLiteral(VORELIND_PATH),
                   arguments + QStringList{"--bind", "127.0.0.1", "--session-port", "1",
                                           "--state-dir", dir.path(), "--runtime-dir", dir.path()},
                   {}, 10000);
    QVERIFY(vorelind.exitCode > 0);
    const QString& error = vorelind.output;
    QCOMPARE(error.count(QLatin1Char('\n')), 1);
    QVERIFY2(
        error.startsWith(QStringLiteral("vorelind: ") + line.replace(QStringLiteral("%1"), path)),
        qPrintable(error));
}

QTEST_GUILESS_MAIN(TestVorelind)
#include "tst_vorelind.moc"
