// vorelind killed with SIGKILL at random moments while senders keep sending: every message
// acknowledged to a sender is delivered after the restart, exactly once, and none that a
// sender saw refused or never finished sending is. Senders either wait for each answer or
// pipeline several messages with keep-alives in between, on a fast or a slow disk.

#include "support/RawSession.h"
#include "support/VorelindProcess.h"
#include "support/WireBuilders.h"

#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

using namespace Wire;

namespace {

constexpr int kMessages = 150;
constexpr int kKills = 6;
// Several senders, so that ENDs are made durable in batches as well as alone.
constexpr int kSenders = 4;

enum class Outcome
{
    Acknowledged, // the END reply said success
    Refused,      // an error reply
    NotSent,      // the connection failed before the END went out
    Unknown,      // the END went out, its reply never came: the crash took it
};

// The outcome of each reply to command (END by default) on this session, in order; everything
// else, keep-alive answers included, is skipped.
std::vector<Outcome> endReplies(RawSession& session, std::size_t count, std::uint8_t command = 0xD6)
{
    std::vector<Outcome> out;
    while (out.size() < count) {
        const Bytes header = session.read(4, 5000);
        if (header.size() < 4)
            break;
        const std::size_t length =
            (std::size_t(header[1] & 1) << 16) | (header[2] << 8) | header[3];
        const Bytes body = session.read(length, 5000);
        if (body.size() < length)
            break;
        // A session message holding an SMB: command at 4, error class at 5.
        if (header[0] == 0x00 && length > 5 && body[4] == command)
            out.push_back(body[5] == 0 ? Outcome::Acknowledged : Outcome::Refused);
    }
    return out;
}

// Messages on one session, each END followed by keep-alives. In turn: each END's answer is
// read before the next message. Pipelined: every message first, then the answers.
std::vector<Outcome> sendSession(std::uint16_t port, const std::vector<std::string>& texts,
                                 bool pipelined)
{
    std::vector<Outcome> outcomes(texts.size(), Outcome::NotSent);
    RawSession session;
    session.socket().setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // The service may be restarting: retry the connection, bounded.
    bool open = false;
    for (int attempt = 0; attempt < 200 && !open; ++attempt) {
        open = session.open(port, QStringLiteral("127.0.0.1"), 1000);
        if (!open)
            QThread::msleep(10);
    }
    if (!open || session.exchange(sessionRequest("VTEST"), kPositive.size(), 5000) != kPositive)
        return outcomes;
    std::size_t sent = 0;
    for (; sent < texts.size(); ++sent) {
        const Bytes data(texts[sent].begin(), texts[sent].end());
        const auto step = [&](const Bytes& request, std::uint8_t command) {
            return session.send(request) &&
                   endReplies(session, 1, command) == std::vector{Outcome::Acknowledged};
        };
        if (!pipelined && (!step(start(), 0xD5) || !step(textBlock(data), 0xD7)))
            break;
        if (pipelined && (!session.send(start()) || !session.send(textBlock(data))))
            break;
        if (!session.send(end()))
            break;
        // From here on the END is out: no answer means the crash took it.
        outcomes[sent] = Outcome::Unknown;
        // Keep-alives while its commit runs: separate segments that arrive during the wait.
        for (int i = 0; i < 3 && session.send({0x85, 0, 0, 0}); ++i)
            QThread::msleep(3);
        if (!pipelined) {
            const auto answered = endReplies(session, 1);
            if (answered.empty())
                return outcomes;
            outcomes[sent] = answered[0];
        }
    }
    if (pipelined) {
        const auto answered = endReplies(session, sent);
        for (std::size_t i = 0; i < answered.size(); ++i)
            outcomes[i] = answered[i];
    }
    return outcomes;
}

} // namespace

class TestVorelindDurability : public QObject
{
    Q_OBJECT

private slots:
    void deliversEveryAcknowledgedMessageAfterSigkill_data();
    void deliversEveryAcknowledgedMessageAfterSigkill();
};

void TestVorelindDurability::deliversEveryAcknowledgedMessageAfterSigkill_data()
{
    QTest::addColumn<int>("perSession");
    QTest::addColumn<bool>("pipelined");
    QTest::addColumn<int>("slowSyncMs");
    QTest::newRow("one message a session") << 1 << false << 0;
    QTest::newRow("several in turn, slow disk") << 3 << false << 20;
    QTest::newRow("pipelined with keep-alives, slow disk") << 3 << true << 20;
}

void TestVorelindDurability::deliversEveryAcknowledgedMessageAfterSigkill()
{
    QFETCH(int, perSession);
    QFETCH(bool, pipelined);
    QFETCH(int, slowSyncMs);
    VorelindProcess service;
    VorelindProcess::Options options;
    options.extraArguments = QStringList{"--messages-per-minute", "0"};
    options.slowSyncMs = slowSyncMs;
    QString error;
    QVERIFY2(service.start(options, error), qPrintable(error));

    std::mutex lock;
    std::vector<Outcome> outcomes(kMessages, Outcome::NotSent);
    std::atomic<int> done{0};
    std::atomic<int> acked{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            std::vector<int> mine;
            for (int i = s; i < kMessages; i += kSenders)
                mine.push_back(i);
            for (std::size_t at = 0; at < mine.size(); at += std::size_t(perSession)) {
                std::vector<std::string> texts;
                for (std::size_t k = at; k < std::min(mine.size(), at + perSession); ++k)
                    texts.push_back("message " + std::to_string(mine[k]));
                const auto results = sendSession(service.port(), texts, pipelined);
                const std::lock_guard guard(lock);
                for (std::size_t k = 0; k < results.size(); ++k) {
                    outcomes[std::size_t(mine[at + k])] = results[k];
                    acked += results[k] == Outcome::Acknowledged;
                }
                done += int(results.size());
            }
        });
    }

    // Kill at random points, each after some more acknowledged messages (a kill may take a
    // whole pipeline with it), and start it again at once.
    int kills = 0;
    for (int k = 0; k < kKills; ++k) {
        const int at = k * 12 + 6 + int(QRandomGenerator::global()->bounded(6));
        const QDeadlineTimer deadline(60000);
        while (acked < at && done < kMessages && !deadline.hasExpired())
            QThread::usleep(QRandomGenerator::global()->bounded(500, 3000));
        if (done >= kMessages)
            break;
        service.kill();
        ++kills;
        QVERIFY2(service.restart(error), qPrintable(error));
    }
    for (auto& sender : senders)
        sender.join();

    const QStringList texts = service.receivedTexts(&error);
    QVERIFY2(!texts.isEmpty(), qPrintable(error));
    const std::multiset<QString> delivered(texts.begin(), texts.end());

    for (int i = 0; i < kMessages; ++i) {
        const QString text = QStringLiteral("message %1").arg(i);
        const auto copies = delivered.count(text);
        const Outcome outcome = outcomes[std::size_t(i)];
        QVERIFY2(copies <= 1, qPrintable(text + " delivered twice"));
        QVERIFY2(outcome != Outcome::Acknowledged || copies == 1,
                 qPrintable(text + " was acknowledged but is lost"));
        QVERIFY2(outcome == Outcome::Acknowledged || outcome == Outcome::Unknown || copies == 0,
                 qPrintable(text + " failed at the sender but was delivered"));
    }
    const auto count = [&](Outcome outcome) {
        return int(std::count(outcomes.begin(), outcomes.end(), outcome));
    };
    const int acknowledged = count(Outcome::Acknowledged);
    qInfo("%d kills; %d messages: %d acknowledged, %d whose acknowledgement the crash took", kills,
          kMessages, acknowledged, count(Outcome::Unknown));
    QVERIFY(kills > 0);
    QVERIFY(acknowledged >= 20);
}

QTEST_GUILESS_MAIN(TestVorelindDurability)
#include "tst_vorelind_durability.moc"
