// The inbox with an empty history beside one holding HISTORY messages of 4,000 characters:
//  - per incoming message, from vorelind handing it over (which it does as it answers the END)
//    to the inbox's acknowledgement: the time from the service's write to the inbox's next write
//    back, seen by a relay on the local socket between them, in a thread of its own;
//  - start-up, from building the inbox as main() does to its window exposed.
// The history is filled through the real path: messages sent to vorelind and kept by a running
// inbox, so the figures do not depend on how the history is stored. Offscreen platform, private
// XDG folders, vorelind on loopback. Run by hand:
//   build/bench/inbox/bench_inbox [HISTORY [SAMPLES]]   (defaults 1000 and 20)

#include "Median.h"
#include "app/inbox/InboxHistory.h"
#include "app/inbox/InboxPaths.h"
#include "app/inbox/InboxWindow.h"
#include "app/inbox/MessagePopup.h"
#include "app/inbox/ReplySender.h"
#include "app/inbox/ServiceClient.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/notifications/Notifications.h"
#include "support/RawSession.h"
#include "support/VorelindProcess.h"
#include "support/WireBuilders.h"

#include <QApplication>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {

class SilentNotifications final : public Notifications
{
public:
    void notify(const QString&, const QString&, const QString&) override {}
};

int unixSocket()
{
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

sockaddr_un addressOf(const QString& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::strncpy(address.sun_path, name.constData(), sizeof address.sun_path - 1);
    return address;
}

// Passes bytes between the inbox and the service, one connection at a time, and times each
// answer of the inbox: from the service's first bytes to the inbox's next write.
class Relay
{
public:
    Relay(const QString& path, const QString& service) : m_service(service)
    {
        m_listener = unixSocket();
        const sockaddr_un address = addressOf(path);
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 4);
        m_thread = std::thread([this] { run(); });
    }
    ~Relay()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    // Forgets what the service wrote last (say, its greeting): the next answer timed starts
    // with the service's next write.
    void arm() { m_pending = false; }
    int answers() const { return m_answers; }
    double lastAnswerMs() const { return m_lastAnswerMs; }

private:
    void run()
    {
        while (!m_stop) {
            pollfd waiting{m_listener, POLLIN, 0};
            if (::poll(&waiting, 1, 100) <= 0)
                continue;
            const int inbox = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int service = unixSocket();
            const sockaddr_un address = addressOf(m_service);
            if (inbox >= 0 && ::connect(service, reinterpret_cast<const sockaddr*>(&address),
                                        sizeof address) == 0)
                pass(inbox, service);
            ::close(inbox);
            ::close(service);
        }
    }
    void pass(int inbox, int service)
    {
        char buffer[65536];
        while (!m_stop) {
            pollfd fds[2] = {{inbox, POLLIN, 0}, {service, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0)
                continue;
            for (int side = 0; side < 2; ++side) {
                if (!fds[side].revents)
                    continue;
                const ssize_t n = ::read(fds[side].fd, buffer, sizeof buffer);
                if (n <= 0 || ::send(fds[1 - side].fd, buffer, std::size_t(n), MSG_NOSIGNAL) != n)
                    return;
                if (side == 1 && !m_pending)
                    m_since = Clock::now();
                if (side == 1)
                    m_pending = true;
                if (side == 0 && m_pending) {
                    m_lastAnswerMs =
                        std::chrono::duration<double, std::milli>(Clock::now() - m_since).count();
                    m_pending = false;
                    ++m_answers;
                }
            }
        }
    }

    QString m_service;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_pending{false};
    Clock::time_point m_since;
    std::atomic<int> m_answers{0};
    std::atomic<double> m_lastAnswerMs{0};
    std::thread m_thread;
};

// The inbox as main() puts it together, its window shown.
struct Inbox
{
    Inbox(const QString& socket, const QString& historyPath)
        : history(historyPath), client(ServiceClient::Options{socket, {}}),
          replies([](std::uint32_t address) {
              SmbMessengerOptions options;
              options.address = address;
              return std::make_unique<SmbMessenger>(QStringLiteral("INBOXPC"), options);
          }),
          window({client, history, notifications, replies})
    {
        window.start();
        window.show();
    }
    void closePopups()
    {
        for (MessagePopup* popup : window.popups())
            popup->close();
    }

    SilentNotifications notifications;
    InboxHistory history;
    ServiceClient client;
    ReplySender replies;
    InboxWindow window;
};

// One message of text sent on its own session; the moment its END was answered, or nullopt.
std::optional<Clock::time_point> sendOne(std::uint16_t port, const std::string& text)
{
    RawSession session;
    const Wire::Bytes data(text.begin(), text.end());
    if (!session.open(port) ||
        session.exchange(Wire::sessionRequest("VTEST"), Wire::kPositive.size()) != Wire::kPositive)
        return std::nullopt;
    const Wire::Bytes accepted = Wire::messageAccepted(data.size());
    if (session.exchange(Wire::message(data, "BENCH", "VTEST"), accepted.size(), 10000) != accepted)
        return std::nullopt;
    return Clock::now();
}

std::string textOf(int i)
{
    std::string text = "History message " + std::to_string(i) + ": ";
    while (text.size() < 4000)
        text += "the quick brown fox jumps over the lazy dog. ";
    text.resize(4000);
    return text;
}

// Messages the service still holds.
int spooled(const QString& stateDir)
{
    static const QRegularExpression spoolFile(QStringLiteral("^[0-9a-f]{16}\\.[a-z]+$"));
    int count = 0;
    QDirIterator files(stateDir, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext())
        count += spoolFile.match(files.nextFileInfo().fileName()).hasMatch() ? 1 : 0;
    return count;
}

// Start-ups timed with each history: a few tenths of a millisecond separate them.
constexpr int kRounds = 9;

struct Figures
{
    double startMs = 0;
    double perMessageMs = 0;
    bool ok = false;
};

Figures measure(int historyMessages, int samples)
{
    Figures figures;
    QTemporaryDir home;
    VorelindProcess service;
    QString error;
    VorelindProcess::Options options;
    options.extraArguments = {"--messages-per-minute", "0",    "--spool-max-messages", "100000",
                              "--spool-max-bytes",     "1024M"};
    if (!service.start(options, error)) {
        std::fprintf(stderr, "vorelind: %s\n", qPrintable(error));
        return figures;
    }
    const QString socket = home.filePath(QStringLiteral("relay.socket"));
    Relay relay(socket, service.socketPath());
    const QString history = InboxPaths::historyFile(home.path());

    if (historyMessages > 0) {
        Inbox inbox(socket, history);
        std::atomic<int> sent{0};
        std::thread sender([&] {
            for (int i = 0; i < historyMessages; ++i)
                sent += sendOne(service.port(), textOf(i)) ? 1 : 0;
        });
        QDeadlineTimer deadline(1200000);
        bool done = false;
        while (!deadline.hasExpired() && !done) {
            QTest::qWait(50);
            inbox.closePopups();
            done = sent == historyMessages && spooled(service.stateDir()) == 0;
        }
        sender.join();
        if (!done) {
            std::fprintf(stderr, "the history was not filled: %d sent\n", int(sent));
            return figures;
        }
    }

    std::vector<double> starts, costs;
    for (int round = 0; round < kRounds; ++round) {
        const auto t0 = Clock::now();
        Inbox inbox(socket, history);
        if (!QTest::qWaitForWindowExposed(&inbox.window, 30000)) {
            std::fprintf(stderr, "the window was not exposed\n");
            return figures;
        }
        starts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (round < kRounds - 1)
            continue;
        QDeadlineTimer connecting(10000);
        while (inbox.client.state() != ServiceClient::State::Connected && !connecting.hasExpired())
            QTest::qWait(10);
        for (int i = 0; i < samples; ++i) {
            relay.arm();
            const int before = relay.answers();
            std::optional<Clock::time_point> answered;
            std::atomic<bool> finished{false};
            std::thread sender([&] {
                answered = sendOne(service.port(), "sample " + std::to_string(i));
                finished = true;
            });
            QDeadlineTimer deadline(30000);
            while (!deadline.hasExpired() && !(finished && (!answered || relay.answers() > before)))
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            sender.join();
            if (!answered || deadline.hasExpired()) {
                std::fprintf(stderr, "message %d: %s\n", i,
                             answered ? "no acknowledgement from the inbox"
                                      : "vorelind did not answer its END");
                return figures;
            }
            costs.push_back(relay.lastAnswerMs());
            inbox.closePopups();
        }
    }
    figures.startMs = median(starts);
    figures.perMessageMs = median(costs);
    figures.ok = true;
    return figures;
}

void verdict(const char* what, double ratio, double target)
{
    std::printf("            %-40s %8.2f x  (target: at most %.2f x: %s)\n", what, ratio, target,
                ratio <= target ? "met" : "NOT met");
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir xdg;
    for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                                 "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        qputenv(variable, QFile::encodeName(xdg.path()));
    ::chmod(QFile::encodeName(xdg.path()).constData(), 0700);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int historyMessages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int samples = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    std::printf("inbox benchmark (an empty history beside %d messages of 4,000 characters)\n\n",
                historyMessages);

    const Figures empty = measure(0, samples);
    const Figures full = measure(historyMessages, samples);
    if (!empty.ok || !full.ok) {
        std::fprintf(stderr, "a measurement did not complete\n");
        return 1;
    }
    std::printf("start-up    to the window exposed: empty %.1f ms, full %.1f ms (median of %d)\n",
                empty.startMs, full.startMs, kRounds);
    std::printf("per message handed over (END answered) -> the inbox's ack: empty %.2f ms, full "
                "%.2f ms (median "
                "of %d)\n",
                empty.perMessageMs, full.perMessageMs, samples);
    verdict("per message full / empty", full.perMessageMs / std::max(0.001, empty.perMessageMs),
            2.0);
    verdict("start-up full / empty", full.startMs / std::max(0.001, empty.startMs), 1.2);
    return 0;
}
