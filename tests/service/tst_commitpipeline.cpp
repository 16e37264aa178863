// The commit pipeline: batches of messages land in the order they were taken whatever order
// their syncs finish in, and each message's verdict comes back under its own ticket.

#include "service/CommitPipeline.h"
#include "service/Inbox.h"
#include "service/Reception.h"

#include <QTemporaryDir>
#include <QTest>

#include <poll.h>

#include <condition_variable>
#include <mutex>
#include <set>

namespace {

// A sync that waits until the test opens its batch (named by its first entry, or else its
// first removal) and reports the ids in fail as not stored.
struct GatedDisk
{
    std::mutex lock;
    std::condition_variable opened;
    std::set<std::string> open;
    std::set<std::string> fail;

    void sync(Spool::Batch& batch)
    {
        std::unique_lock guard(lock);
        const std::string name =
            batch.entries.empty() ? batch.removals.at(0) : batch.entries.at(0).id;
        opened.wait(guard, [&] { return open.count(name) > 0; });
        batch.sync();
        for (std::size_t i = 0; i < batch.entries.size(); ++i)
            batch.stored[i] = batch.stored[i] && !fail.count(batch.entries[i].id);
    }
    void release(const std::string& id)
    {
        const std::lock_guard guard(lock);
        open.insert(id);
        opened.notify_all();
    }
};

bool landed(const CommitPipeline& pipeline)
{
    pollfd ready{pipeline.notifier(), POLLIN, 0};
    return ::poll(&ready, 1, 10'000) == 1;
}

} // namespace

class TestCommitPipeline : public QObject
{
    Q_OBJECT

private slots:
    void landsInOrderWithVerdictsByTicket();
};

void TestCommitPipeline::landsInOrderWithVerdictsByTicket()
{
    QTemporaryDir dir;
    Settings settings;
    settings.messagesPerMinute = 0;
    Spool spool(dir.path().toStdString(), 100, 1 << 20);
    std::string error;
    QVERIFY(spool.open(error));
    Inbox inbox("VTEST", spool, [](const std::string&) {});
    Reception reception(settings, spool, inbox, [](const std::string&) {});
    GatedDisk disk;
    CommitPipeline pipeline([&](Spool::Batch& batch) { disk.sync(batch); }, 2);

    const auto stage = [&](const char* text) {
        ReceivedMessage message;
        message.text = text;
        std::string ticket;
        const Verdict verdict = reception.deliverLater(message, ticket);
        return verdict == Verdict::Pending ? ticket : std::string();
    };
    const std::string one = stage("one"), two = stage("two");
    pipeline.submit(reception.takeMessages());
    const std::string three = stage("three");
    pipeline.submit(reception.takeMessages());
    QVERIFY(!one.empty() && !two.empty() && !three.empty());
    QVERIFY(pipeline.busy());

    // The later batch syncs first: nothing lands before the earlier one.
    disk.fail.insert(one);
    disk.release(three);
    QVERIFY(landed(pipeline));
    QVERIFY(pipeline.collect().empty());
    disk.release(one);
    std::vector<Spool::Batch> batches;
    for (int round = 0; round < 2 && batches.size() < 2; ++round) {
        QVERIFY(landed(pipeline));
        for (auto& batch : pipeline.collect())
            batches.push_back(std::move(batch));
    }
    QCOMPARE(batches.size(), std::size_t(2));
    QVERIFY(!pipeline.busy());

    using Verdicts = std::vector<std::pair<std::string, Verdict>>;
    QCOMPARE(reception.land(batches[0]),
             (Verdicts{{one, Verdict::Failed}, {two, Verdict::Accepted}}));
    QCOMPARE(reception.land(batches[1]), (Verdicts{{three, Verdict::Accepted}}));
    QCOMPARE(spool.count(), std::size_t(2));

    // An acknowledgement goes to disk in a batch of removals.
    QVERIFY(spool.remove(two));
    const auto file = [&](const std::string& id) {
        return dir.filePath(QString::fromStdString("spool/" + id + "-.msg"));
    };
    QVERIFY(QFile::exists(file(two)));
    QVERIFY(reception.hasPending());
    Spool::Batch removal = reception.takeRemovals(SIZE_MAX);
    QCOMPARE(removal.removals, std::vector<std::string>{two + "-.msg"});
    removal.sync();
    QVERIFY(!QFile::exists(file(two)));
    QVERIFY(QFile::exists(file(three)));

    // Messages go without the removals, and removals still syncing hold none of them back.
    QVERIFY(spool.remove(three));
    const std::string four = stage("four");
    Spool::Batch messages = reception.takeMessages();
    QCOMPARE(messages.entries.size(), std::size_t(1));
    QVERIFY(messages.removals.empty());
    pipeline.submit(reception.takeRemovals(SIZE_MAX));
    QVERIFY(pipeline.removing());
    pipeline.submit(std::move(messages));
    disk.release(four);
    QVERIFY(landed(pipeline));
    batches = pipeline.collect();
    QCOMPARE(batches.size(), std::size_t(1));
    QCOMPARE(reception.land(batches[0]), (Verdicts{{four, Verdict::Accepted}}));
    disk.release(three + "-.msg");
    QVERIFY(landed(pipeline));
    QCOMPARE(pipeline.collect().size(), std::size_t(1));
    QVERIFY(!pipeline.removing());
    QVERIFY(!QFile::exists(file(three)));
}

QTEST_APPLESS_MAIN(TestCommitPipeline)
#include "tst_commitpipeline.moc"
