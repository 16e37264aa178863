// vorelind killed with SIGKILL at random moments while a sender keeps sending: every message
// acknowledged to the sender is delivered after the restart, exactly once, and none that the
// sender saw fail or never finished sending is.

#include "support/RawSession.h"
#include "support/VorelindProcess.h"
#include "support/WireBuilders.h"

#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace Wire;

namespace {

constexpr int kMessages = 150;
constexpr int kKills = 10;
// Several senders, so that ENDs are made durable in batches as well as alone.
constexpr int kSenders = 4;

enum class Outcome
{
    Acknowledged, // the END reply said success
    Refused,      // an error reply
    NotSent,      // the connection failed before the END went out
    Unknown,      // the END went out, its reply never came: the crash took it
};

// One message step by step, so that we know whether the END was sent.
Outcome sendOne(std::uint16_t port, const std::string& text)
{
    RawSession session;
    // The service may be restarting: retry the connection, bounded.
    bool open = false;
    for (int attempt = 0; attempt < 200 && !open; ++attempt) {
        open = session.open(port, QStringLiteral("127.0.0.1"), 1000);
        if (!open)
            QThread::msleep(10);
    }
    if (!open)
        return Outcome::NotSent;
    const auto step = [&](const Bytes& request, const Bytes& expected) {
        return session.exchange(request, expected.size(), 5000) == expected;
    };
    const Bytes data(text.begin(), text.end());
    if (!step(sessionRequest("VTEST"), kPositive) || !step(start(), ok(0xD5, {1})) ||
        !step(textBlock(data), ok(0xD7)))
        return Outcome::NotSent;
    const Bytes reply = session.exchange(end(), ok(0xD6).size(), 5000);
    if (reply == ok(0xD6))
        return Outcome::Acknowledged;
    return reply.empty() ? Outcome::Unknown : Outcome::Refused;
}

} // namespace

class TestVorelindDurability : public QObject
{
    Q_OBJECT

private slots:
    void deliversEveryAcknowledgedMessageAfterSigkill();
};

void TestVorelindDurability::deliversEveryAcknowledgedMessageAfterSigkill()
{
    VorelindProcess service;
    VorelindProcess::Options options;
    options.extraArguments = QStringList{"--messages-per-minute", "0"};
    QString error;
    QVERIFY2(service.start(options, error), qPrintable(error));

    std::mutex lock;
    std::vector<Outcome> outcomes(kMessages, Outcome::NotSent);
    std::atomic<int> done{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = s; i < kMessages; i += kSenders) {
                const Outcome outcome = sendOne(service.port(), "message " + std::to_string(i));
                const std::lock_guard guard(lock);
                outcomes[std::size_t(i)] = outcome;
                ++done;
            }
        });
    }

    // Kill at spread-out, random points of the run, and start it again at once.
    int kills = 0;
    for (int k = 0; k < kKills; ++k) {
        const int at = (k * kMessages) / kKills + int(QRandomGenerator::global()->bounded(8));
        const QDeadlineTimer deadline(60000);
        while (done < at && !deadline.hasExpired())
            QThread::usleep(QRandomGenerator::global()->bounded(500, 3000));
        if (done >= kMessages)
            break;
        service.kill();
        ++kills;
        QVERIFY2(service.restart(error), qPrintable(error));
    }
    for (auto& sender : senders)
        sender.join();

    const auto messages = service.receiveOnce(&error);
    QVERIFY2(!messages.isEmpty(), qPrintable(error));
    std::multiset<QString> delivered;
    for (const auto& m : messages)
        delivered.insert(m[QStringLiteral("text")].toString());

    int acknowledged = 0;
    int unknown = 0;
    int unknownDelivered = 0;
    int failed = 0;
    for (int i = 0; i < kMessages; ++i) {
        const QString text = QStringLiteral("message %1").arg(i);
        const auto copies = delivered.count(text);
        QVERIFY2(copies <= 1, qPrintable(text + " delivered twice"));
        switch (outcomes[std::size_t(i)]) {
        case Outcome::Acknowledged:
            ++acknowledged;
            QVERIFY2(copies == 1, qPrintable(text + " was acknowledged but is lost"));
            break;
        case Outcome::Unknown:
            ++unknown;
            unknownDelivered += int(copies);
            break;
        case Outcome::Refused:
        case Outcome::NotSent:
            ++failed;
            QVERIFY2(copies == 0, qPrintable(text + " failed at the sender but was delivered"));
            break;
        }
    }
    qInfo("%d kills; %d messages: %d acknowledged and delivered, %d failed at the sender and "
          "not delivered, %d whose acknowledgement the crash took (%d of them delivered)",
          kills, kMessages, acknowledged, failed, unknown, unknownDelivered);
    QVERIFY(kills > 0);
    QVERIFY(acknowledged > kMessages / 2);
}

QTEST_GUILESS_MAIN(TestVorelindDurability)
#include "tst_vorelind_durability.moc"
