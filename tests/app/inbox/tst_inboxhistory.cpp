#include "app/inbox/InboxHistory.h"
#include "app/inbox/InboxListModel.h"
#include "app/inbox/InboxPaths.h"
#include "app/inbox/SingleInstance.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>

namespace {

const QString kAddHelper = QStringLiteral("--add-many");

InboxMessage message(int n, int textLength = 20, const QString& address = {})
{
    InboxMessage m;
    m.id = QStringLiteral("id-%1").arg(n);
    m.from = QStringLiteral("PEDRO%1").arg(n);
    m.machine = QStringLiteral("PC-%1").arg(n);
    m.address = address.isEmpty() ? QStringLiteral("10.0.0.%1").arg(n % 250 + 1) : address;
    m.called = QStringLiteral("ANA");
    m.to = QStringLiteral("ana");
    m.received = QStringLiteral("2026-12-07T14:%1:%2+00:00")
                     .arg(n / 60 % 60, 2, 10, QLatin1Char('0'))
                     .arg(n % 60, 2, 10, QLatin1Char('0'));
    m.text = QStringLiteral("Mensaje %1 ñ ").arg(n) + QString(textLength, u'x');
    return m;
}

QList<InboxMessage> messages(int first, int count, int textLength = 20)
{
    QList<InboxMessage> out;
    for (int n = first; n < first + count; ++n)
        out.append(message(n, textLength));
    return out;
}

QStringList fields(const InboxMessage& m)
{
    return {m.from, m.machine, m.address, m.called, m.to, m.received, m.text};
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

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) &&
           file.write(content) == content.size();
}

// An earlier version's history file, newest first.
QByteArray jsonHistory(const QList<InboxMessage>& messages)
{
    QJsonArray entries;
    for (const InboxMessage& m : messages)
        entries.append(QJsonObject{{"key", m.key},
                                   {"id", m.id},
                                   {"from", m.from},
                                   {"machine", m.machine},
                                   {"address", m.address},
                                   {"called", m.called},
                                   {"to", m.to},
                                   {"received", m.received},
                                   {"text", m.text},
                                   {"unread", m.unread}});
    return QJsonDocument(QJsonObject{{"format", 1}, {"messages", entries}}).toJson();
}

// The child: adds long messages one at a time and prints each id once add() reported it
// kept, as the inbox acknowledges it, until it is killed.
int addInChildProcess(const QString& path)
{
    InboxHistory history(path);
    history.load();
    for (int n = 0; n < 100000; ++n) {
        if (!history.add({message(n, 4000)}).kept)
            return 3;
        std::printf("id-%d\n", n);
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

// The received history on disk: kept across restarts, every acknowledged message durable,
// floods unable to push out unread messages, older JSON histories taken over once, and a
// damaged database set aside rather than crashed on or written over.
class TestInboxHistory : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path() const { return m_dir->filePath(QStringLiteral("vorelin/inbox.sqlite")); }

private slots:
    void init();

    void keepsMessagesAcrossRestart();
    void recognisesADeliveryAgain_data();
    void recognisesADeliveryAgain();
    void evictsReadFirstAndFloodsLast_data();
    void evictsReadFirstAndFloodsLast();
    void crashWhileAddingKeepsEveryKeptMessage_data();
    void crashWhileAddingKeepsEveryKeptMessage();
    void importsAJsonHistoryOnce_data();
    void importsAJsonHistoryOnce();
    void setsADamagedHistoryAside_data();
    void setsADamagedHistoryAside();
    void listsAPageAtATime();
    void collapsesBursts_data();
    void collapsesBursts();
    void clearsWhatDeadInboxesLeft_data();
    void clearsWhatDeadInboxesLeft();
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
        const QStringList keys = history.add({message(1), message(2), message(3)}).newKeys;
        QCOMPARE(keys.size(), 3);
        firstKey = keys[0];
        QVERIFY(history.markRead(firstKey));
        QVERIFY(!history.markRead(firstKey));
        QVERIFY(history.remove(keys[1]));
    }
    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    QCOMPARE(ids(again), (QStringList{"id-3", "id-1"}));
    const InboxMessage oldest = again.messages().last();
    QCOMPARE(oldest.key, firstKey);
    QCOMPARE(fields(oldest), fields(message(1)));
    QVERIFY(!oldest.unread);
    QVERIFY(again.messages().first().unread);
    QCOMPARE(again.unreadCount(), 1);
    QCOMPARE(again.page(1, 5).size(), 1);
}

void TestInboxHistory::recognisesADeliveryAgain_data()
{
    QTest::addColumn<bool>("sameBatch");
    QTest::addColumn<bool>("restart");
    QTest::newRow("resent later") << false << false;
    QTest::newRow("resent after a restart") << false << true;
    QTest::newRow("twice in one batch") << true << false;
}

void TestInboxHistory::recognisesADeliveryAgain()
{
    QFETCH(bool, sameBatch);
    QFETCH(bool, restart);
    auto history = std::make_unique<InboxHistory>(path());
    history->load();
    InboxHistory::Added added;
    if (sameBatch) {
        added = history->add({message(1), message(2), message(1)});
    } else {
        QCOMPARE(history->add({message(1), message(2)}).newKeys.size(), 2);
        if (restart) {
            history = std::make_unique<InboxHistory>(path());
            QCOMPARE(history->load().outcome, InboxHistory::Loaded::Fine);
        }
        added = history->add({message(1)});
        QVERIFY(added.newKeys.isEmpty());
    }
    QVERIFY(added.kept);
    QCOMPARE(ids(*history), (QStringList{"id-2", "id-1"}));
}

void TestInboxHistory::evictsReadFirstAndFloodsLast_data()
{
    QTest::addColumn<int>("maxMessages");
    QTest::addColumn<int>("maxUnread");
    QTest::addColumn<int>("read");    // read messages kept before the flood
    QTest::addColumn<int>("sources"); // flooding addresses
    QTest::addColumn<int>("each");    // messages from each
    QTest::addColumn<int>("kept");

    QTest::newRow("1,100 from 55 sources") << 1000 << 5000 << 3 << 55 << 20 << 1101;
    QTest::newRow("read ones make room") << 10 << 5000 << 6 << 1 << 8 << 10;
    QTest::newRow("past the unread cap") << 10 << 20 << 2 << 3 << 12 << 20;
    QTest::newRow("past the cap, one source") << 10 << 20 << 0 << 1 << 40 << 20;
}

void TestInboxHistory::evictsReadFirstAndFloodsLast()
{
    QFETCH(int, maxMessages);
    QFETCH(int, maxUnread);
    QFETCH(int, read);
    QFETCH(int, sources);
    QFETCH(int, each);
    QFETCH(int, kept);

    InboxHistory history(path(), {maxMessages, maxUnread});
    history.load();
    for (const QString& key : history.add(messages(100000, read)).newKeys)
        QVERIFY(history.markRead(key));
    const QString quiet = history.add({message(99999, 20, "10.9.9.9")}).newKeys.value(0);
    QVERIFY(!quiet.isEmpty());

    // Interleaved as the sources take turns, in batches as the service hands them out.
    QList<InboxMessage> flood;
    for (int n = 0; n < sources * each; ++n) {
        flood.append(message(n, 20, QStringLiteral("10.1.%1.1").arg(n % sources)));
        if (flood.size() == 100 || n == sources * each - 1)
            QVERIFY(history.add(std::exchange(flood, {})).kept);
    }

    QCOMPARE(history.count(), kept);
    QVERIFY(history.find(quiet));
    QVERIFY(history.unreadCount() <= maxUnread);
    // Read ones go before any unread one does.
    const int readLeft = history.count() - history.unreadCount();
    if (history.unreadCount() < 1 + sources * each)
        QCOMPARE(readLeft, 0);
    QCOMPARE(readLeft, std::max(0, std::min(read, maxMessages - 1 - sources * each)));
    // The newest of the flood is always kept.
    QCOMPARE(history.messages().first().id, QStringLiteral("id-%1").arg(sources * each - 1));
}

void TestInboxHistory::crashWhileAddingKeepsEveryKeptMessage_data()
{
    QTest::addColumn<QString>("how");
    // The kernel stops the writer with SIGXFSZ when its journal passes 256 KiB: always in the
    // middle of writing.
    QTest::newRow("file size limit mid-write") << "limit";
    // SIGKILL after some messages were reported kept, at whatever point of an add that is.
    QTest::newRow("SIGKILL while adding") << "kill";
}

void TestInboxHistory::crashWhileAddingKeepsEveryKeptMessage()
{
    QFETCH(QString, how);
    QProcess child;
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments({kAddHelper, path()});
    child.setProcessChannelMode(QProcess::SeparateChannels);
    if (how == "limit") {
        child.setChildProcessModifier([] {
            const rlimit fileSize{256 * 1024, 256 * 1024};
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
            ::setrlimit(RLIMIT_CORE, &noCore);
        });
    }
    child.start();
    QVERIFY(child.waitForStarted(10000));
    QByteArray out;
    if (how == "kill") {
        const QDeadlineTimer deadline(60000);
        while (out.count('\n') < 20 && child.state() == QProcess::Running &&
               !deadline.hasExpired()) {
            child.waitForReadyRead(100);
            out += child.readAllStandardOutput();
        }
        QVERIFY2(out.count('\n') >= 20, out.right(200).constData());
        ::kill(pid_t(child.processId()), SIGKILL);
    }
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    out += child.readAllStandardOutput();

    const QStringList acknowledged = QString::fromLatin1(out).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!acknowledged.isEmpty());
    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    const QStringList kept = ids(again);
    for (const QString& id : acknowledged)
        QVERIFY2(kept.contains(id), qPrintable(id));
    // Whatever came after the last one reported is either whole or absent.
    QVERIFY(kept.size() - acknowledged.size() <= 1);
}

void TestInboxHistory::importsAJsonHistoryOnce_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<QStringList>("expected"); // newest first
    QTest::newRow("the default service's")
        << QStringList{"inbox.json"} << false << QStringList{"id-2", "id-1", "id-0"};
    // Taken by name, so the default service's come last, as the newest.
    QTest::newRow("two services'")
        << QStringList{"inbox.json", "inbox-0123456789abcdef.json"} << false
        << QStringList{"id-2", "id-1", "id-0", "id-12", "id-11", "id-10"};
    QTest::newRow("damaged") << QStringList{"inbox.json"} << true << QStringList{};
}

void TestInboxHistory::importsAJsonHistoryOnce()
{
    QFETCH(QStringList, files);
    QFETCH(bool, damaged);
    QFETCH(QStringList, expected);
    const QString folder = QFileInfo(path()).absolutePath();
    for (int f = 0; f < files.size(); ++f) {
        QList<InboxMessage> old;
        for (int n = 2; n >= 0; --n) {
            InboxMessage m = message(f * 10 + n);
            m.key = QStringLiteral("key-%1-%2").arg(f).arg(n);
            m.unread = n != 0;
            old.append(m);
        }
        QByteArray content = jsonHistory(old);
        if (damaged)
            content.chop(content.size() / 2);
        QVERIFY(writeFile(QDir(folder).filePath(files[f]), content));
    }

    for (int start = 0; start < 2; ++start) {
        InboxHistory history(path());
        const InboxHistory::LoadResult loaded = history.load();
        QCOMPARE(loaded.outcome,
                 start == 0 ? InboxHistory::Loaded::Missing : InboxHistory::Loaded::Fine);
        QCOMPARE(loaded.imported, start == 0 ? expected.size() : 0);
        QCOMPARE(ids(history), expected);
        if (!damaged) {
            QCOMPARE(history.unreadCount(), 2 * files.size());
            QVERIFY(history.find(QStringLiteral("key-0-1")));
        }
    }
    for (const QString& file : files)
        QVERIFY(QFileInfo::exists(QDir(folder).filePath(file + ".imported")));
}

void TestInboxHistory::setsADamagedHistoryAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("later");

    const QByteArray good = [] {
        QTemporaryDir dir;
        {
            InboxHistory history(dir.filePath("h.sqlite"));
            history.load();
            history.add(messages(0, 200, 200));
        }
        return readFile(dir.filePath("h.sqlite"));
    }();
    QByteArray header = good;
    header.replace(0, 16, QByteArray(16, 'Z'));
    QByteArray pages = good;
    for (qsizetype at = 4096; at + 64 < pages.size(); at += 4096)
        pages.replace(at, 64, QByteArray(64, '\xff'));

    const std::pair<const char*, QByteArray> damaged[] = {
        {"not a database", QByteArray("\x7f"
                                      "ELF\x01garbage")},
        {"header damaged", header},
        {"pages damaged", pages},
        {"cut in the middle", good.left(good.size() / 2)},
    };
    // Checked later: load() reads only the header, and the full check finds the rest.
    for (const bool later : {false, true})
        for (const auto& [name, content] : damaged)
            QTest::addRow("%s%s", name, later ? ", checked later" : "") << content << later;
}

void TestInboxHistory::setsADamagedHistoryAside()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, later);
    QVERIFY(writeFile(path(), content));

    InboxHistory history(path());
    InboxHistory::LoadResult result =
        history.load(later ? InboxHistory::Check::Later : InboxHistory::Check::Now);
    if (later && result.outcome == InboxHistory::Loaded::Fine) {
        QVERIFY(!InboxHistory::intact(path()));
        result = history.setAside();
    }
    QCOMPARE(result.outcome, InboxHistory::Loaded::Damaged);
    QVERIFY(!result.setAsidePath.isEmpty());
    QCOMPARE(readFile(result.setAsidePath), content);
    QCOMPARE(history.count(), 0);

    // The history goes on in a new file; the damaged one stays aside for a look.
    QVERIFY(history.add({message(9)}).kept);
    InboxHistory again(path());
    QCOMPARE(again.load().outcome, InboxHistory::Loaded::Fine);
    QCOMPARE(ids(again), QStringList{"id-9"});
    QVERIFY(QFileInfo::exists(result.setAsidePath));
}

void TestInboxHistory::listsAPageAtATime()
{
    InboxHistory history(path());
    history.load();
    QVERIFY(history.add(messages(0, 2 * InboxListModel::kPage + 10)).kept);

    InboxListModel model(history);
    model.reload();
    QCOMPARE(model.rowCount(), InboxListModel::kPage);
    QCOMPARE(model.index(0).data(InboxListModel::kKeyRole).toString(),
             history.messages().first().key);
    for (const int expected : {2 * InboxListModel::kPage, 2 * InboxListModel::kPage + 10}) {
        QVERIFY(model.canFetchMore({}));
        model.fetchMore({});
        QCOMPARE(model.rowCount(), expected);
    }
    QVERIFY(!model.canFetchMore({}));
    QCOMPARE(model.index(model.rowCount() - 1).data(InboxListModel::kKeyRole).toString(),
             history.messages().last().key);

    // Marked read: the row says so without the list being read again.
    const QString key = model.index(5).data(InboxListModel::kKeyRole).toString();
    QVERIFY(model.index(5).data(Qt::DisplayRole).toString().startsWith(u'●'));
    QVERIFY(history.markRead(key));
    model.refresh(key);
    QVERIFY(!model.index(5).data(Qt::DisplayRole).toString().startsWith(u'●'));
}

void TestInboxHistory::collapsesBursts_data()
{
    QTest::addColumn<int>("count");   // from one source, after one message from another
    QTest::addColumn<int>("seconds"); // between two of them
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("firstVersion"); // kept by a version that did not name bursts

    for (const bool first : {false, true}) {
        const char* kept = first ? ", kept by the first version" : "";
        QTest::addRow("five within a minute%s", kept) << 5 << 10 << 2 << first;
        QTest::addRow("forty, a second apart%s", kept) << 40 << 1 << 2 << first;
        QTest::addRow("four within a minute%s", kept) << 4 << 10 << 5 << first;
        QTest::addRow("five, two minutes apart%s", kept) << 5 << 120 << 6 << first;
    }
}

void TestInboxHistory::collapsesBursts()
{
    QFETCH(int, count);
    QFETCH(int, seconds);
    QFETCH(int, rows);
    QFETCH(bool, firstVersion);

    auto written = std::make_unique<InboxHistory>(path());
    written->load();
    const QDateTime start = QDateTime::fromString("2026-12-07T14:00:00+01:00", Qt::ISODate);
    QList<InboxMessage> arrivals{message(1000, 20, "10.9.9.9")};
    for (int n = 0; n < count; ++n) {
        InboxMessage m = message(n, 20, "10.1.1.1");
        m.received = start.addSecs(qint64(n) * seconds).toString(Qt::ISODateWithMs);
        arrivals.append(m);
    }
    QVERIFY(written->add(arrivals).kept);
    if (firstVersion) {
        written.reset();
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "first-version");
        db.setDatabaseName(path());
        QVERIFY(db.open());
        for (const char* statement : {"DROP INDEX bursts", "ALTER TABLE messages DROP COLUMN burst",
                                      "PRAGMA user_version=1"})
            QVERIFY2(QSqlQuery(db).exec(statement), statement);
        db.close();
        db = {};
        QSqlDatabase::removeDatabase("first-version");
    }
    InboxHistory history(path());
    QCOMPARE(history.load().outcome, InboxHistory::Loaded::Fine);

    InboxListModel model(history);
    model.reload();
    QCOMPARE(model.rowCount(), rows);
    QCOMPARE(model.isBurst(0), rows == 2);
    if (!model.isBurst(0))
        return;
    QCOMPARE(model.index(0).data(InboxListModel::kBurstRole).toInt(), count);
    QVERIFY(
        model.index(0).data().toString().contains(QStringLiteral("%1 mensajes más de").arg(count)));
    // Opened, it lists them all, and stays so when the list is read again.
    model.expand(0);
    QCOMPARE(model.rowCount(), count + 1);
    model.reload();
    QCOMPARE(model.rowCount(), count + 1);
    QCOMPARE(model.index(0).data(InboxListModel::kKeyRole).toString(),
             history.messages().first().key);
}

void TestInboxHistory::clearsWhatDeadInboxesLeft_data()
{
    QTest::addColumn<bool>("alive");
    QTest::newRow("its inbox died") << false;
    QTest::newRow("its inbox runs") << true;
}

void TestInboxHistory::clearsWhatDeadInboxesLeft()
{
    QFETCH(bool, alive);
    const QString runtime = m_dir->filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(runtime));
    const QString other = InboxPaths::instanceSocket(runtime, QStringLiteral("/srv/other.socket"));
    QVERIFY(writeFile(other, {}));
    QLockFile otherLock(other + QStringLiteral(".lock"));
    if (alive) {
        QVERIFY(otherLock.tryLock(0));
    } else {
        // A lock file whose process is gone, as a killed inbox leaves it.
        QProcess dead;
        dead.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
        QVERIFY(dead.waitForStarted(10000));
        const QByteArray pid = QByteArray::number(dead.processId());
        dead.kill();
        QVERIFY(dead.waitForFinished(10000));
        QVERIFY(writeFile(other + QStringLiteral(".lock"), pid + "\nvorelin-inbox\n\n"));
    }

    SingleInstance instance(InboxPaths::instanceSocket(runtime, InboxPaths::kDefaultSocket));
    QCOMPARE(instance.claim(), SingleInstance::Role::First);
    QCOMPARE(QFileInfo::exists(other), alive);
    QCOMPARE(QFileInfo::exists(other + QStringLiteral(".lock")), alive);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 3 && arguments[1] == kAddHelper)
        return addInChildProcess(arguments[2]);
    TestInboxHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_inboxhistory.moc"
