// vorelind's figures, each beside its anchor in the same run:
//  - throughput: 8 parallel in-process protocol clients (a new session per message, as senders
//    do) against vorelind (durable spool, rate limit off), against the floor (floor_receiver, a
//    minimal durable receiver in C) and against smbd with a message command that writes each
//    message to a file;
//  - CPU time per message of the receiving process, vorelind beside the floor, both on tmpfs
//    with no client connected (vorelind's log goes to a file, the floor writes none);
//  - latency from the END reply to the message printed by a connected vorelin-recv;
//  - resident memory of vorelind idle and with 32 sessions open, beside smbd + nmbd idle;
//  - a client draining a large backlog, beside the floor of unlinking as many files, and a
//    sender's latency (first byte to END answer) during such a drain, beside an idle service.
// VORELIND=PATH measures another build of vorelind (say, the one before a change).
// Everything on loopback, in private folders; smbd and nmbd are stopped by their PIDs.

#include "support/PrivateSmbd.h"
#include "support/VorelindProcess.h"
#include "support/WireBuilders.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace Wire;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClients = 8;

// A blocking session client with 10-second socket timeouts.
class Client
{
public:
    ~Client()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool open(std::uint16_t port, const char* source = "127.0.0.1")
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval t{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    bool sendAll(const Bytes& b)
    {
        return ::send(m_fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }
    bool readExact(std::uint8_t* out, std::size_t n)
    {
        for (std::size_t got = 0; got < n;) {
            const ssize_t r = ::recv(m_fd, out + got, n - got, 0);
            if (r <= 0)
                return false;
            got += std::size_t(r);
        }
        return true;
    }
    // The next frame that is not a keep-alive; for an SMB, true when its status is success.
    bool answer(bool& success)
    {
        for (int i = 0; i < 16; ++i) {
            std::uint8_t header[4];
            if (!readExact(header, 4))
                return false;
            const std::size_t length = ((header[1] & 1u) << 16) | (header[2] << 8) | header[3];
            std::vector<std::uint8_t> body(length);
            if (!readExact(body.data(), length))
                return false;
            if (header[0] == 0x85)
                continue;
            success = header[0] == 0x82 || (header[0] == 0x00 && length >= 9 && body[5] == 0 &&
                                            body[7] == 0 && body[8] == 0);
            return true;
        }
        return false;
    }
    bool step(const Bytes& request)
    {
        bool success = false;
        return sendAll(request) && answer(success) && success;
    }

private:
    int m_fd = -1;
};

// One whole message on a new session, replies awaited one by one as smbclient does.
bool sendMessage(std::uint16_t port, const std::string& called, const std::string& text,
                 Clock::time_point* acknowledged = nullptr)
{
    // Each session from the next of 4,096 loopback addresses: tens of thousands of sessions a
    // minute from one address would run out of its ephemeral ports (closed ones wait 60 s).
    static std::atomic<unsigned> next{0};
    const unsigned n = next++ % 4096;
    const std::string source =
        "127.2." + std::to_string(n / 256) + "." + std::to_string(1 + n % 250);
    Client c;
    if (!c.open(port, source.c_str()) || !c.step(sessionRequest(called)) ||
        !c.step(start("bench", called)))
        return false;
    const Bytes data(text.begin(), text.end());
    for (std::size_t at = 0; at < data.size(); at += 128) {
        if (!c.step(textBlock(Bytes(data.begin() + long(at),
                                    data.begin() + long(std::min(data.size(), at + 128))))))
            return false;
    }
    const bool ok = c.step(end());
    if (acknowledged)
        *acknowledged = Clock::now();
    return ok;
}

// Messages per second from kClients threads sending perClient messages each.
double throughput(std::uint16_t port, const std::string& called, int perClient, int& failures)
{
    std::atomic<int> failed{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < perClient; ++i) {
                if (!sendMessage(port, called,
                                 "Throughput message " + std::to_string(c) + "/" +
                                     std::to_string(i)))
                    ++failed;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    failures = failed;
    return (kClients * perClient - failed) / seconds;
}

// The process and all its descendants.
qint64 treeResidentKiBOf(qint64 root)
{
    qint64 total = residentKiBOf(root);
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const auto fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == root)
            total += treeResidentKiBOf(pid);
    }
    return total;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(20);
    }
    return condition();
}

bool tcpAccepts(std::uint16_t port)
{
    Client c;
    return c.open(port);
}

struct Vorelind
{
    explicit Vorelind(const QString& base = QStringLiteral("/tmp"))
        : dir(base + QStringLiteral("/vorelin-bench-XXXXXX"))
    {}
    QTemporaryDir dir;
    QProcess process;
    std::uint16_t port = freeTcpPort();

    QString socket() const { return dir.filePath(QStringLiteral("run/inbox.socket")); }

    bool start(const QStringList& extra)
    {
        QDir(dir.path()).mkpath(QStringLiteral("state"));
        QDir(dir.path()).mkpath(QStringLiteral("run"));
        process.setStandardErrorFile(dir.filePath(QStringLiteral("log")));
        process.start(qEnvironmentVariable("VORELIND", QStringLiteral(VORELIND_PATH)),
                      QStringList{"--bind", "127.0.0.1", "--session-port", QString::number(port),
                                  "--state-dir", dir.filePath("state"), "--runtime-dir",
                                  dir.filePath("run"), "--computer-name", "VBENCH"} +
                          extra);
        return process.waitForStarted() &&
               waitFor([&] { return QFile::exists(socket()) && tcpAccepts(port); }, 120000);
    }
    void stop()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    ~Vorelind() { stop(); }
};

// The floor: floor_receiver writing to a folder under base.
struct Floor
{
    explicit Floor(const QString& base = QStringLiteral("/tmp"))
        : dir(base + QStringLiteral("/vorelin-floor-XXXXXX"))
    {}
    QTemporaryDir dir;
    QProcess process;
    std::uint16_t port = freeTcpPort();

    bool start()
    {
        process.start(QStringLiteral(FLOOR_RECEIVER_PATH), {dir.path(), QString::number(port)});
        const bool ready = process.waitForStarted() && process.waitForReadyRead(10000) &&
                           process.readLine().startsWith("ready");
        if (!ready) {
            process.waitForFinished(1000);
            std::fprintf(stderr, "floor_receiver on port %u: %s\n", unsigned(port),
                         process.readAllStandardError().constData());
        }
        return ready;
    }
    ~Floor()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

// CPU seconds (user + system, all threads) the process has used so far.
double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // After the name: state is field 3, utime field 14, stime field 15.
    const auto fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / ::sysconf(_SC_CLK_TCK);
}

struct Run
{
    double rate = 0;          // messages per second
    double cpuPerMessage = 0; // seconds of the receiver's CPU
    int failures = 0;
};

Run measure(qint64 pid, std::uint16_t port, int perClient)
{
    Run run;
    const double cpu0 = cpuSecondsOf(pid);
    run.rate = throughput(port, "VBENCH", perClient, run.failures);
    run.cpuPerMessage =
        (cpuSecondsOf(pid) - cpu0) / std::max(1, kClients * perClient - run.failures);
    return run;
}

const QStringList kOpenVorelind{
    "--messages-per-minute", "0",       "--max-sessions-per-address", "32",
    "--spool-max-messages",  "1000000", "--spool-max-bytes",          "1024M"};

Run runVorelind(const QString& base, int perClient)
{
    Vorelind v(base);
    if (!v.start(kOpenVorelind)) {
        std::fprintf(stderr, "vorelind did not start\n");
        std::exit(1);
    }
    return measure(v.process.processId(), v.port, perClient);
}

Run runFloor(const QString& base, int perClient)
{
    // A port free when asked may be taken by the time it is bound: another one then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Floor f(base);
        if (!f.start())
            continue;
        Run run = measure(f.process.processId(), f.port, perClient);
        // Every answered message is on disk under its final name.
        run.failures += kClients * perClient - run.failures -
                        int(QDir(f.dir.path()).entryList(QDir::Files).size());
        return run;
    }
    std::fprintf(stderr, "floor_receiver did not start\n");
    std::exit(1);
}

double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// count messages waiting in a state folder's spool, as vorelind writes them.
// A backlog is on disk before it is drained, as a service's is: nothing of its writing is
// left for the first sync of the run to flush.
void settle(const QString& dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::syncfs(fd);
    ::close(fd);
}

void prefill(const QString& stateDir, int count)
{
    QDir(stateDir).mkpath(QStringLiteral("spool"));
    const std::string text(200, 'x');
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/spool/%016x.msg", 0x100000 + i);
        QFile file(stateDir + QLatin1String(name));
        file.open(QIODevice::WriteOnly);
        file.write(("{\"user\":\"\",\"from\":\"bench\",\"machine\":\"BENCH\",\"address\":"
                    "\"127.0.0.1\",\"called\":\"VBENCH\",\"to\":\"VBENCH\",\"received\":"
                    "\"2026-12-07T10:00:00+00:00\",\"text\":\"" +
                    text + "\"}\n")
                       .c_str());
    }
    settle(stateDir);
}

// True when the service's local socket answers a new client with its hello line.
bool greets(const QString& path)
{
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::memcpy(where.sun_path, encoded.constData(),
                std::min(sizeof where.sun_path - 1, std::size_t(encoded.size())));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval t{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    char first = 0;
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                    ::recv(fd, &first, 1, 0) == 1 && first == '{';
    ::close(fd);
    return ok;
}

// The floor of a start-up: read every file of a folder.
double readSeconds(const QString& folder)
{
    const auto t0 = Clock::now();
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        QFile file(folder + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly))
            file.readAll();
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The floor of a drain: unlink count files and sync their folder once.
double unlinkSeconds(int count)
{
    QTemporaryDir dir(QStringLiteral("/tmp/vorelin-bench-XXXXXX"));
    prefill(dir.path(), count);
    const QByteArray spool = QFile::encodeName(dir.filePath(QStringLiteral("spool")));
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/%016x.msg", 0x100000 + i);
        ::unlink((spool + name).constData());
    }
    const int folder = ::open(spool.constData(), O_RDONLY | O_DIRECTORY);
    ::fsync(folder);
    ::close(folder);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A sender's latencies in ms, first byte to END answer, one message at a time: count of them,
// or as many as fit while busy() holds.
std::vector<double> senderLatencies(std::uint16_t port, int count,
                                    const std::function<bool()>& busy = {})
{
    std::vector<double> samples;
    for (int i = 0; busy ? busy() : i < count; ++i) {
        const auto t0 = Clock::now();
        Clock::time_point answered;
        if (sendMessage(port, "VBENCH", "sender " + std::to_string(i), &answered))
            samples.push_back(std::chrono::duration<double, std::milli>(answered - t0).count());
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

double p99(const std::vector<double>& sorted)
{
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
}

enum class Bound
{
    AtMost,
    AtLeast
};

void verdict(const char* what, double ratio, double target, Bound bound = Bound::AtMost)
{
    const bool met = bound == Bound::AtMost ? ratio <= target : ratio >= target;
    std::printf("            %-40s %8.2f x  (target: %s %.2f x: %s)\n", what, ratio,
                bound == Bound::AtMost ? "at most" : "at least", target, met ? "met" : "NOT met");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // a long run shows where it is
    const int perClient = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    std::printf("vorelind benchmark (%d parallel clients)\n\n", kClients);

    // --- Throughput on disk, and CPU per message on tmpfs -----------------------------------
    // Three rounds, alternating, each figure the median: the machine is shared.
    std::vector<double> ourRates, floorRates, ourCpu, floorCpu;
    int ourFailures = 0, floorFailures = 0;
    const int cpuPerClient = perClient * 10;
    for (int round = 0; round < 3; ++round) {
        const Run ours = runVorelind(QStringLiteral("/tmp"), perClient);
        const Run floor = runFloor(QStringLiteral("/tmp"), perClient);
        const Run oursCpu = runVorelind(QStringLiteral("/dev/shm"), cpuPerClient);
        const Run floorOnTmpfs = runFloor(QStringLiteral("/dev/shm"), cpuPerClient);
        ourRates.push_back(ours.rate);
        floorRates.push_back(floor.rate);
        ourCpu.push_back(oursCpu.cpuPerMessage);
        floorCpu.push_back(floorOnTmpfs.cpuPerMessage);
        ourFailures += ours.failures + oursCpu.failures;
        floorFailures += floor.failures + floorOnTmpfs.failures;
    }
    const double ours = medianOf(ourRates), floor = medianOf(floorRates);
    std::printf(
        "throughput  vorelind (durable spool)      %8.1f messages/s  (%d x %d, median of 3, "
        "%d failed)\n",
        ours, kClients, perClient, ourFailures);
    std::printf(
        "throughput  floor (C, syncfs groups)      %8.1f messages/s  (%d x %d, median of 3, "
        "%d failed)\n",
        floor, kClients, perClient, floorFailures);
    double anchor = 0;
    {
        PrivateSmbd s;
        const QString messages = s.workDir() + QStringLiteral("/messages");
        QString error;
        if (!s.start(QStringLiteral("/bin/mv %s ") + messages, false, error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const int anchorPerClient = std::max(1, perClient / 4);
        int failures = 0;
        anchor = throughput(s.port(), "VBENCH", anchorPerClient, failures);
        const int expected = kClients * anchorPerClient - failures;
        waitFor([&] { return QDir(messages).entryList(QDir::Files).size() >= expected; }, 10000);
        std::printf(
            "throughput  smbd + message command       %8.1f messages/s  (%d x %d, %d failed, "
            "%lld files written)\n",
            anchor, kClients, anchorPerClient, failures,
            static_cast<long long>(QDir(messages).entryList(QDir::Files).size()));
    }
    verdict("throughput vorelind / floor, on disk", ours / floor, 0.9, Bound::AtLeast);
    verdict("throughput vorelind / smbd", ours / anchor, 10, Bound::AtLeast);
    const double ourMicros = medianOf(ourCpu) * 1e6, floorMicros = medianOf(floorCpu) * 1e6;
    std::printf(
        "cpu         per message on tmpfs, no client: vorelind %.1f us, floor %.1f us (%d x "
        "%d, median of 3)\n",
        ourMicros, floorMicros, kClients, cpuPerClient);
    verdict("CPU per message vorelind / floor", ourMicros / std::max(0.001, floorMicros), 1.25);
    std::printf("\n");

    // --- Latency: END reply -> printed by vorelin-recv ---------------------------------------
    {
        Vorelind v;
        v.start({"--messages-per-minute", "0"});
        QProcess recv;
        recv.start(QStringLiteral(VORELIN_RECV_PATH), {"--json", "--socket", v.socket()});
        recv.waitForStarted();
        std::vector<double> samples;
        for (int i = 0; i < 200; ++i) {
            Clock::time_point acknowledged;
            if (!sendMessage(v.port, "VBENCH", "latency " + std::to_string(i), &acknowledged))
                continue;
            while (!recv.canReadLine() && recv.waitForReadyRead(5000)) {
            }
            if (!recv.canReadLine())
                break;
            recv.readLine();
            samples.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - acknowledged).count());
        }
        recv.kill();
        recv.waitForFinished();
        std::sort(samples.begin(), samples.end());
        if (!samples.empty())
            std::printf("latency     END reply -> vorelin-recv printed: median %.2f ms, p90 %.2f "
                        "ms, max %.2f ms (%zu samples; target: median under 5 ms)\n\n",
                        samples[samples.size() / 2], samples[samples.size() * 9 / 10],
                        samples.back(), samples.size());
    }

    // --- Resident memory ------------------------------------------------------------------
    {
        Vorelind v;
        v.start({});
        waitFor([] { return false; }, 300); // let it settle after start-up
        const qint64 idle = residentKiBOf(v.process.processId());
        std::vector<std::unique_ptr<Client>> sessions;
        for (int i = 0; i < 32; ++i) {
            const std::string source = "127.0.0." + std::to_string(1 + i / 4);
            auto c = std::make_unique<Client>();
            if (c->open(v.port, source.c_str()) && c->step(sessionRequest("VBENCH")))
                sessions.push_back(std::move(c));
        }
        const qint64 busy = residentKiBOf(v.process.processId());
        PrivateSmbd s;
        QString error;
        s.start(QStringLiteral("/bin/true"), true, error);
        waitFor([] { return false; }, 3000); // nmbd's start-up: registration takes ~3.5 s
        const qint64 samba = treeResidentKiBOf(s.smbdPid()) + treeResidentKiBOf(s.nmbdPid());
        std::printf("memory      vorelind idle %.1f MiB, with %zu sessions %.1f MiB; smbd + nmbd "
                    "idle %.1f MiB (target: idle under 8 MiB)\n",
                    idle / 1024.0, sessions.size(), busy / 1024.0, samba / 1024.0);
    }
    // --- A large backlog drained by one client ------------------------------------------
    {
        const int backlog = argc > 2 ? std::max(100, std::atoi(argv[2])) : 100000;
        // 6 ms a message, far above what any build takes, 30 s at least.
        const int limitMs = std::max(30000, backlog * 6);
        const QStringList caps{"--messages-per-minute", "0",
                               "--spool-max-messages",  QString::number(backlog + 1000),
                               "--spool-max-bytes",     "1024M"};
        double drained = 0;
        {
            Vorelind v;
            prefill(v.dir.filePath(QStringLiteral("state")), backlog);
            // The first start may convert an older spool; the second is the one measured.
            if (!v.start(caps)) {
                std::fprintf(stderr, "vorelind did not start: %s\n",
                             v.process.readAllStandardError().constData());
                return 1;
            }
            // Stopped only once it runs: a conversion cut short would be timed below.
            waitFor([&] { return greets(v.socket()); }, 600000);
            v.stop();
            const auto started = Clock::now();
            v.start(caps);
            // Ready once a local client is greeted: the loop runs and knows what waits.
            waitFor([&] { return greets(v.socket()); }, 600000);
            const double startup = std::chrono::duration<double>(Clock::now() - started).count();
            const qint64 resident = residentKiBOf(v.process.processId());
            const double readAll = readSeconds(v.dir.filePath(QStringLiteral("state/spool")));
            std::printf("start-up    %d waiting: %.2f s to accept, %.0f B resident per waiting "
                        "message (%.1f MiB); reading every file: %.2f s\n",
                        backlog, startup, resident * 1024.0 / backlog, resident / 1024.0, readAll);
            verdict("start-up / reading every file", startup / readAll, 1.5);
            QProcess recv;
            recv.setStandardOutputFile(QProcess::nullDevice());
            const auto t0 = Clock::now();
            recv.start(QStringLiteral(VORELIN_RECV_PATH), {"--once", "--socket", v.socket()});
            recv.waitForFinished(limitMs);
            // Until the service has let go of every file: the acknowledgements are done.
            const QDir spool(v.dir.filePath(QStringLiteral("state/spool")));
            if (!waitFor([&] { return spool.entryList(QDir::Files).isEmpty(); }, limitMs)) {
                std::printf("drain       did not finish within %d s: %lld files left; "
                            "vorelin-recv: %s\n",
                            limitMs / 1000,
                            static_cast<long long>(spool.entryList(QDir::Files).size()),
                            recv.readAllStandardError().constData());
                return 1;
            }
            drained = std::chrono::duration<double>(Clock::now() - t0).count();
        }
        const double floor = unlinkSeconds(backlog);
        std::printf("drain       %d waiting, vorelin-recv --once: %.2f s; unlinking as many "
                    "files: %.2f s\n",
                    backlog, drained, floor);
        verdict("drain / unlink floor", drained / floor, 2.0);

        const int during = std::max(100, backlog / 10);
        std::vector<double> idle, busy;
        {
            Vorelind v;
            if (!v.start(caps)) {
                std::fprintf(stderr, "vorelind did not start: %s\n",
                             v.process.readAllStandardError().constData());
                return 1;
            }
            idle = senderLatencies(v.port, 200);
        }
        // Three drains, each sampled from the client's start until the service has let go of
        // the last of its messages: a few hundred samples, so that p99 is not one outlier.
        for (int drain = 0; drain < 3; ++drain) {
            Vorelind v;
            prefill(v.dir.filePath(QStringLiteral("state")), during);
            if (!v.start(caps)) {
                std::fprintf(stderr, "vorelind did not start: %s\n",
                             v.process.readAllStandardError().constData());
                return 1;
            }
            // Started once to take the backlog in, as the drain above; then on disk.
            waitFor([&] { return greets(v.socket()); }, 600000);
            settle(v.dir.path());
            QProcess recv;
            recv.setStandardOutputFile(QProcess::nullDevice());
            recv.start(QStringLiteral(VORELIN_RECV_PATH), {"--once", "--socket", v.socket()});
            recv.waitForStarted();
            // Acknowledged in arrival order: the backlog is gone with its newest file (the
            // sender's own messages stay).
            char newest[64];
            std::snprintf(newest, sizeof newest, "state/spool/%016x-.msg", 0x100000 + during - 1);
            const QString last = v.dir.filePath(QString::fromLatin1(newest));
            const QDeadlineTimer limit(limitMs);
            // The client takes the sender's messages too, so it is stopped, not awaited.
            const std::vector<double> samples = senderLatencies(
                v.port, 0, [&] { return QFile::exists(last) && !limit.hasExpired(); });
            busy.insert(busy.end(), samples.begin(), samples.end());
            recv.kill();
            recv.waitForFinished(limitMs);
        }
        std::sort(busy.begin(), busy.end());
        std::printf("sender      p50/p99 first byte -> END answer: idle %.2f/%.2f ms; during a "
                    "%d-message drain %.2f/%.2f ms (%zu sent during 3)\n",
                    idle.empty() ? 0 : idle[idle.size() / 2], p99(idle), during,
                    busy.empty() ? 0 : busy[busy.size() / 2], p99(busy), busy.size());
        verdict("p99 during a drain / idle p99", p99(busy) / std::max(0.001, p99(idle)), 3.0);
    }
    return 0;
}
