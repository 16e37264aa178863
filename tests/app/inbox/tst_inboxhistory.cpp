#include "app/inbox/InboxHistory.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <csignal>
#include <iostream>

namespace {

const QString kSaveHelper = QStringLiteral("--save-many");

InboxMessage message(int n, int textLength = 20)
{
    InboxMessage m;
    m.id = QStringLiteral("id-%1").arg(n);
    m.from = QStringLiteral("PEDRO%1").arg(n);
    m.machine = QStringLiteral("PC-%1").arg(n);
    m.address = QStringLiteral("10.0.0.%1").arg(n % 250 + 1);
    m.called = QStringLiteral("ANA");
    m.to = QStringLiteral("ana");
    m.received = QStringLiteral("2026-12-07T14:%1:00+00:00").arg(n % 60, 2, 10, QLatin1Char('0'));
    m.text = QStringLiteral("Mensaje %1 ñ ").arg(n) + QString(textLength, u'x');
    return m;
}

QStringList ids(const InboxHistory& history)
{
    QStringList out;
    for (const InboxMessage& m : history.messages())
        out.append(m.id);
    return out;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The child: adds many long messages to the history at path and saves it, again and again,
// until it is killed (or once, with "once").
int saveInChildProcess(const QString& path, bool once)
{
    InboxHistory history(path);
    history.load();
    for (int n = 100; n < 100 + InboxHistory::kMaxMessages; ++n)
        history.add(message(n, 4000));
    do {
        if (!history.save())
            return 3;
    } while (!once);
    return 0;
}

} // namespace

// The received history on disk: kept across restarts, bounded, never half written, and a
// damaged file reported and set aside rather than crashed on or saved over.
class TestInboxHistory : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return m_dir->filePath(QStringLiteral("vorelin/inbox.json")); }

private slots:
    void init();

    void keepsMessagesAcrossRestart();
    void keepsTheNewestThousand();
    void crashWhileSavingLeavesTheOldHistory_data();
    void crashWhileSavingLeavesTheOldHistory();
    void setsADamagedHistoryAside_data();
    void setsADamagedHistoryAside();
};

void TestInboxHistory::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestInboxHistory::keepsMessagesAcrossRestart()
{
    QString firstKey;
    {
        InboxHistory history(path());
        QCOMPARE(history.load().outcome, InboxHistory::Loaded::Missing);
        firstKey = history.add(message(1));
        const QString second = history.add(message(2));
        history.add(message(3));
        QVERIFY(history.markRead(firstKey));
        QVERIFY(history.remove(second));
        QVERIFY(history.save());
    }
    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    QCOMPARE(ids(again), (QStringList{"id-3", "id-1"}));
    const InboxMessage& oldest = again.messages().last();
    const InboxMessage expected = message(1);
    QCOMPARE(oldest.key, firstKey);
    QCOMPARE((QStringList{oldest.from, oldest.machine, oldest.address, oldest.called, oldest.to,
                          oldest.received, oldest.text}),
             (QStringList{expected.from, expected.machine, expected.address, expected.called,
                          expected.to, expected.received, expected.text}));
    QVERIFY(!oldest.unread);
    QVERIFY(again.messages().first().unread);
    QCOMPARE(again.unreadCount(), 1);
    QVERIFY(again.findDelivery(message(3)));
    QVERIFY(!again.findDelivery(message(2)));
}

void TestInboxHistory::keepsTheNewestThousand()
{
    const int total = InboxHistory::kMaxMessages + 5;
    {
        InboxHistory history(path());
        history.load();
        for (int n = 0; n < total; ++n)
            history.add(message(n));
        QCOMPARE(history.messages().size(), InboxHistory::kMaxMessages);
        QVERIFY(history.save());
    }
    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    QCOMPARE(again.messages().size(), InboxHistory::kMaxMessages);
    QCOMPARE(again.messages().first().id, QStringLiteral("id-%1").arg(total - 1));
    QCOMPARE(again.messages().last().id, QStringLiteral("id-5"));
}

void TestInboxHistory::crashWhileSavingLeavesTheOldHistory_data()
{
    QTest::addColumn<QString>("how");
    // The kernel stops the writer with SIGXFSZ when the new file passes 64 KiB: always in
    // the middle of writing it.
    QTest::newRow("file size limit mid-write") << "limit";
    // SIGKILL once a new file is being written, at whatever point of the save that is.
    QTest::newRow("SIGKILL while saving") << "kill";
}

void TestInboxHistory::crashWhileSavingLeavesTheOldHistory()
{
    QFETCH(QString, how);
    {
        InboxHistory history(path());
        history.load();
        for (int n = 0; n < 3; ++n)
            history.add(message(n));
        QVERIFY(history.save());
    }
    const QByteArray before = readFile(path());

    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({kSaveHelper, path(), how == "limit" ? "once" : "loop"});
    if (how == "limit") {
        child.setChildProcessModifier([] {
            const rlimit fileSize{64 * 1024, 64 * 1024};
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
            ::setrlimit(RLIMIT_CORE, &noCore);
        });
    }
    child.start();
    QVERIFY(child.waitForStarted(10000));
    if (how == "kill") {
        const QDir folder = QFileInfo(path()).absoluteDir();
        const QStringList pattern{QStringLiteral("inbox.json.tmp-*")};
        // Polled against a real deadline: under a sanitizer on a loaded machine the child
        // takes seconds to build its first save.
        const QDeadlineTimer deadline(60000);
        bool ended = false;
        while (folder.entryList(pattern, QDir::Files).isEmpty() && !ended && !deadline.hasExpired())
            ended = child.waitForFinished(20);
        QVERIFY2(!ended, "the saving child ended by itself");
        QVERIFY2(!deadline.hasExpired(), "the saving child never started a save");
        ::kill(pid_t(child.processId()), SIGKILL);
    }
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    if (how == "limit") {
        QCOMPARE(again.messages().size(), 3);
    } else {
        // Killed before or after one of its renames: the old file or a whole new one.
        const qsizetype kept = again.messages().size();
        QVERIFY2(kept == 3 || kept == InboxHistory::kMaxMessages,
                 qPrintable(QString::number(kept)));
    }
    if (again.messages().size() == 3)
        QCOMPARE(readFile(path()), before);
    // What the cut save left behind is gone after the next start.
    QCOMPARE(QFileInfo(path()).absoluteDir().entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("inbox.json")});
}

void TestInboxHistory::setsADamagedHistoryAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("size"); // > 0: the file is extended to this size
    QTest::addColumn<int>("kept");

    const QByteArray good = [] {
        QTemporaryDir dir;
        InboxHistory history(dir.filePath("h.json"));
        for (int n = 0; n < 4; ++n)
            history.add(message(n));
        history.save();
        return readFile(dir.filePath("h.json"));
    }();
    QByteArray oneBad = good;
    oneBad.replace("\"text\":\"Mensaje 2", "\"txet\":\"Mensaje 2");

    QTest::newRow("not JSON") << QByteArray("\x7f"
                                            "ELF\x01garbage")
                              << qint64(0) << 0;
    QTest::newRow("empty") << QByteArray() << qint64(0) << 0;
    QTest::newRow("cut in the middle") << good.left(good.size() / 2) << qint64(0) << 0;
    QTest::newRow("another format")
        << QByteArray(good).replace("\"format\":1", "\"format\":9") << qint64(0) << 0;
    QTest::newRow("messages not a list")
        << QByteArray(R"({"format":1,"messages":{}})") << qint64(0) << 0;
    QTest::newRow("one entry damaged") << oneBad << qint64(0) << 3;
    QTest::newRow("larger than any history") << good << InboxHistory::kMaxFileBytes + 1 << 0;
}

void TestInboxHistory::setsADamagedHistoryAside()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, size);
    QFETCH(int, kept);

    QVERIFY(QDir().mkpath(QFileInfo(path()).absolutePath()));
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
        if (size > 0)
            QVERIFY(file.resize(size)); // sparse: no disk is spent on it
    }
    const QByteArray damaged = readFile(path());

    InboxHistory history(path());
    const InboxHistory::LoadResult result = history.load();
    QCOMPARE(result.outcome, InboxHistory::Loaded::Damaged);
    QCOMPARE(history.messages().size(), kept);
    QVERIFY(!QFileInfo::exists(path()));
    QVERIFY(!result.setAsidePath.isEmpty());
    QCOMPARE(readFile(result.setAsidePath), damaged);

    // The history goes on in a new file; the damaged one stays aside for a look.
    history.add(message(9));
    QVERIFY(history.save());
    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    QCOMPARE(again.messages().size(), kept + 1);
    QVERIFY(QFileInfo::exists(result.setAsidePath));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 4 && arguments[1] == kSaveHelper)
        return saveInChildProcess(arguments[2], arguments[3] == QLatin1String("once"));
    TestInboxHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_inboxhistory.moc"
