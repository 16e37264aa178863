#include "service/Daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

namespace {

// Connections beyond the session limits that still get their "insufficient resources" answer;
// past this many they are closed at once.
constexpr std::size_t kMaxRefusing = 64;
constexpr std::chrono::seconds kRefusingIdle{5};
// A closing connection is read and discarded this long, so that our last answer is not lost
// to a reset; then it is closed whatever the peer does.
constexpr std::chrono::seconds kLinger{2};
constexpr std::size_t kMaxSessionOutput = 64 * 1024;
constexpr std::size_t kMaxLocalClients = 256;
// Each client may hold a copy of every waiting message in its backlog: a few per user keep the
// memory one user can pin down bounded.
constexpr std::size_t kMaxLocalClientsPerUser = 8;
// Every open connection, lingering ones included: far below the usual 1,024 descriptors.
constexpr std::size_t kMaxConnections = 512;
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kRemovalsPerBatch = 4096;
// Reads per readiness event, so that one busy peer cannot starve the others. A local client
// gets one: a chunk of acknowledgements is a few hundred.
constexpr int kReadsPerEvent = 4;
constexpr int kLocalReadsPerEvent = 1;

std::string addressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
                    sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&six.sin6_addr))
            ::inet_ntop(AF_INET, &six.sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
    }
    return text;
}

// Reads at most kReadsPerEvent chunks from a nonblocking stream. onBytes gets each chunk and
// returns false to stop this round; onClosed runs once when the peer closed or the socket failed.
template <typename OnBytes, typename OnClosed>
void readChunks(int fd, int reads, OnBytes&& onBytes, OnClosed&& onClosed)
{
    char buffer[kReadChunk];
    for (int i = 0; i < reads; ++i) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got <= 0) {
            onClosed();
            return;
        }
        if (!onBytes(std::string_view(buffer, std::size_t(got))))
            return;
    }
}

} // namespace

Daemon::Daemon(const Settings& settings, Listeners listeners, const NameTable& names,
               Reception& reception, Inbox& inbox, const OemDecoder& decoder, uid_t handInUid,
               Log log)
    : m_settings(settings), m_listeners(listeners), m_names(names), m_reception(reception),
      m_inbox(inbox), m_decoder(decoder), m_handInUid(handInUid), m_log(std::move(log))
{}

Daemon::~Daemon()
{
    for (const auto& [fd, connection] : m_connections)
        ::close(fd);
    if (m_signals >= 0)
        ::close(m_signals);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

std::optional<std::string> Daemon::loginOf(uid_t uid)
{
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return found->pw_name;
}

int Daemon::bindUdp(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    // Not SO_REUSEPORT, which would make the kernel share nmbd's unicast datagrams with us.
    const int on = 1;
    if (fd < 0 || (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                   ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0))
        return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

bool Daemon::run()
{
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &stop, nullptr) != 0)
        return false;
    m_signals = ::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_signals < 0 || m_epoll < 0 || m_pipeline.notifier() < 0 ||
        !control(EPOLL_CTL_ADD, m_signals, EPOLLIN) ||
        !control(EPOLL_CTL_ADD, m_pipeline.notifier(), EPOLLIN))
        return false;
    for (const int fd : {m_listeners.session, m_listeners.inbox}) {
        if (fd < 0)
            continue;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (!control(EPOLL_CTL_ADD, fd, EPOLLIN))
            return false;
    }
    for (Source* source : m_sources) {
        for (const int fd : source->fds()) {
            if (!control(EPOLL_CTL_ADD, fd, EPOLLIN))
                return false;
        }
    }

    std::vector<epoll_event> events(64);
    while (true) {
        const int count = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeoutMs());
        if (count < 0 && errno != EINTR)
            return false;
        for (int i = 0; i < count; ++i) {
            const int fd = events[std::size_t(i)].data.fd;
            if (fd == m_signals) {
                if (stopOnSignal())
                    return true;
            } else if (fd == m_pipeline.notifier()) {
                finishCommit();
            } else if (fd == m_listeners.session) {
                acceptSessions();
            } else if (fd == m_listeners.inbox) {
                acceptLocal();
            } else if (Source* source = sourceOf(fd)) {
                source->readable(fd);
            } else if (const auto found = m_connections.find(fd); found != m_connections.end()) {
                serve(fd, found->second, events[std::size_t(i)].events);
            }
        }
        startCommit();
        runDeadlines();
        flushLocalClients();
    }
}

bool Daemon::stopOnSignal()
{
    signalfd_siginfo info{};
    if (::read(m_signals, &info, sizeof info) <= 0)
        return false;
    m_log.notice("stopping on signal " + std::to_string(info.ssi_signo));
    // Acknowledged removals still go to disk; unanswered messages do not.
    Spool::Batch last = m_reception.takeRemovals(SIZE_MAX);
    if (!last.removals.empty())
        m_pipeline.submit(std::move(last));
    return true;
}

void Daemon::serve(int fd, Connection& connection, std::uint32_t events)
{
    if (events & EPOLLOUT)
        flush(fd, connection);
    if (!m_connections.count(fd))
        return;
    const bool awaiting = connection.machine && connection.machine->awaitingDelivery();
    if (awaiting && (events & (EPOLLHUP | EPOLLERR))) {
        // Gone while its message is committed: the message is stored all the same.
        drop(fd);
    } else if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (connection.local)
            readLocal(fd, connection);
        else
            readSession(fd, connection);
    }
}

bool Daemon::control(int op, int fd, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return ::epoll_ctl(m_epoll, op, fd, &event) == 0;
}

bool Daemon::add(int fd, Connection connection)
{
    connection.watching = EPOLLIN;
    if (!control(EPOLL_CTL_ADD, fd, EPOLLIN)) {
        release(connection);
        ::close(fd);
        return false;
    }
    m_connections.emplace(fd, std::move(connection));
    return true;
}

// The session places an address holds, lingering connections included: closing many short
// connections fast must not let one address fill the table.
std::size_t Daemon::placesOf(const std::string& address) const
{
    return static_cast<std::size_t>(std::ranges::count_if(m_connections, [&](const auto& entry) {
        const Connection& c = entry.second;
        return !c.local && c.address == address &&
               (c.slot == Connection::Slot::Session || c.closing);
    }));
}

bool Daemon::dropOldestLingering()
{
    // Lingering ones first, and among them the one due soonest.
    const auto oldest = std::ranges::min_element(m_connections, {}, [](const auto& entry) {
        return std::pair(!entry.second.closing, entry.second.closeBy);
    });
    if (oldest == m_connections.end() || !oldest->second.closing)
        return false;
    drop(oldest->first);
    return true;
}

void Daemon::acceptSessions()
{
    // Bounded: a flood is taken in slices, between which the other sockets get their turn.
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(m_listeners.session, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        Connection connection;
        connection.serial = m_nextSerial++;
        connection.address = addressText(peer);
        const auto now = Clock::now();
        SessionMachine::Limits limits{m_settings.idleTimeout, m_settings.messageTimeout};
        const bool room = m_connections.size() < kMaxConnections || dropOldestLingering();
        if (room && m_sessions < m_settings.maxSessions &&
            placesOf(connection.address) < m_settings.maxSessionsPerAddress) {
            connection.slot = Connection::Slot::Session;
            ++m_sessions;
            connection.machine.emplace(m_names, m_reception, m_decoder, connection.address, limits,
                                       now);
            sockaddr_storage local{};
            socklen_t localLength = sizeof local;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0)
                connection.machine->setLocalAddress(addressText(local));
        } else if (room && m_refusing < kMaxRefusing) {
            connection.slot = Connection::Slot::Refusing;
            ++m_refusing;
            limits.idle = std::min<std::chrono::milliseconds>(limits.idle, kRefusingIdle);
            connection.machine.emplace(m_names, m_reception, m_decoder, connection.address, limits,
                                       now, 0x83);
        } else {
            ::close(fd);
            continue;
        }
        add(fd, std::move(connection));
    }
}

void Daemon::acceptLocal()
{
    // smbd's message command connects once per message, and has already told the sender it
    // arrived: its account gets a bound of its own, well above one user's.
    constexpr std::size_t kMaxHandInClients = 64;
    // A refused client learns why; the line fits any socket buffer, so it never blocks.
    const auto refuse = [](int fd, const std::string& reason) {
        const std::string line = "{\"type\":\"refused\",\"reason\":\"" + reason + "\"}\n";
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
    };
    for (int i = 0; i < 16; ++i) {
        const int fd = ::accept4(m_listeners.inbox, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
            ::close(fd);
            continue;
        }
        const bool handIns = credentials.uid == m_handInUid;
        if (!handIns && m_locals >= kMaxLocalClients) {
            refuse(fd, "busy: too many local clients");
            continue;
        }
        const auto sameUser = std::ranges::count_if(m_connections, [&](const auto& entry) {
            return entry.second.local && entry.second.uid == credentials.uid;
        });
        if (std::size_t(sameUser) >= (handIns ? kMaxHandInClients : kMaxLocalClientsPerUser)) {
            m_log.warning("local client refused: uid " + std::to_string(credentials.uid) + " has " +
                          std::to_string(sameUser) + " connected");
            refuse(fd, "busy: " + std::to_string(sameUser) + " clients of this user connected");
            continue;
        }
        Connection connection;
        connection.local = true;
        connection.uid = credentials.uid;
        if (!add(fd, std::move(connection)))
            continue;
        const bool mayHandIn = credentials.uid == 0 || credentials.uid == m_handInUid;
        m_connections.at(fd).client = m_inbox.connect(
            {credentials.uid,
             loginOf(credentials.uid).value_or("uid" + std::to_string(credentials.uid)),
             mayHandIn});
        ++m_locals;
    }
}

void Daemon::readSession(int fd, Connection& connection)
{
    readChunks(
        fd, kReadsPerEvent,
        [&](std::string_view bytes) {
            if (connection.closing)
                return true; // lingering: read and forget
            const auto out = connection.machine->receive(
                std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                Clock::now());
            afterSession(fd, connection, out);
            // While its message is committed, what else it sends waits in the kernel.
            return m_connections.count(fd) && !connection.machine->awaitingDelivery();
        },
        [&] {
            if (connection.machine)
                connection.machine->peerClosed();
            drop(fd);
        });
}

void Daemon::afterSession(int fd, Connection& connection, const SessionMachine::Output& out)
{
    if (connection.machine->awaitingDelivery())
        m_awaiting.try_emplace(connection.machine->awaitedTicket(), fd, connection.serial);
    connection.output.append(out.bytes.begin(), out.bytes.end());
    if (connection.output.size() > kMaxSessionOutput) {
        drop(fd); // a peer that sends without reading the answers
        return;
    }
    flush(fd, connection);
    if (!m_connections.count(fd))
        return;
    if (out.close)
        startClosing(fd, connection);
    else
        watch(fd, connection);
}

void Daemon::startCommit()
{
    // While the workers sync, the other sessions' ENDs gather into the next batch.
    if (!m_reception.hasPending() || m_pipeline.busy())
        return;
    // Messages go on their own: their senders wait, and thousands of acknowledged files to
    // unlink would hold them up.
    if (!m_reception.onlyRemovalsPending()) {
        m_pipeline.submit(m_reception.takeMessages());
        if (!m_reception.hasPending() || m_pipeline.busy())
            return;
    }
    // Acknowledgements alone go one batch at a time, so that a worker stays free for messages,
    // and wait for idle workers or a large batch: one folder sync for many.
    if (m_pipeline.removing() ||
        (!m_pipeline.idle() && m_reception.pendingRemovals() < kRemovalsPerBatch))
        return;
    m_pipeline.submit(m_reception.takeRemovals(kRemovalsPerBatch));
}

void Daemon::finishCommit()
{
    const auto now = Clock::now();
    for (const Spool::Batch& batch : m_pipeline.collect()) {
        for (const auto& [ticket, verdict] : m_reception.land(batch)) {
            const auto awaiting = m_awaiting.find(ticket);
            if (awaiting == m_awaiting.end())
                continue;
            const auto [fd, serial] = awaiting->second;
            m_awaiting.erase(awaiting);
            const auto found = m_connections.find(fd);
            // A session that went away meanwhile: its message is stored all the same.
            if (found == m_connections.end() || found->second.serial != serial ||
                !found->second.machine || found->second.machine->awaitedTicket() != ticket)
                continue;
            Connection& connection = found->second;
            afterSession(fd, connection, connection.machine->resume(verdict, now));
        }
    }
}

void Daemon::readLocal(int fd, Connection& connection)
{
    readChunks(
        fd, kLocalReadsPerEvent,
        [&](std::string_view bytes) {
            if (m_inbox.receive(connection.client, bytes))
                return true;
            drop(fd);
            return false;
        },
        [&] { drop(fd); });
}

void Daemon::flush(int fd, Connection& connection)
{
    while (!connection.output.empty()) {
        const ssize_t sent =
            ::send(fd, connection.output.data(), connection.output.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (sent <= 0) {
            drop(fd);
            return;
        }
        connection.output.erase(0, std::size_t(sent));
    }
    watch(fd, connection);
    if (connection.output.empty() && connection.closing && !connection.writeShut) {
        ::shutdown(fd, SHUT_WR);
        connection.writeShut = true;
    }
}

void Daemon::watch(int fd, Connection& connection)
{
    // A session whose message waits for the disk is not read: no input piles up here.
    const bool reading = !(connection.machine && connection.machine->awaitingDelivery());
    const std::uint32_t events =
        (reading ? std::uint32_t(EPOLLIN) : 0u) | (connection.output.empty() ? 0u : EPOLLOUT);
    if (connection.watching != events)
        control(EPOLL_CTL_MOD, fd, events);
    connection.watching = events;
}

void Daemon::startClosing(int fd, Connection& connection)
{
    if (connection.closing)
        return;
    connection.closing = true;
    connection.closeBy = Clock::now() + kLinger;
    // Its answer is given: the place is free for the next caller while this one lingers.
    release(connection);
    flush(fd, connection);
}

void Daemon::drop(int fd)
{
    const auto found = m_connections.find(fd);
    if (found == m_connections.end())
        return;
    Connection& connection = found->second;
    if (connection.local) {
        m_inbox.disconnect(connection.client);
        --m_locals;
    }
    release(connection);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    m_connections.erase(found);
}

void Daemon::release(Connection& connection)
{
    if (connection.slot == Connection::Slot::Session)
        --m_sessions;
    else if (connection.slot == Connection::Slot::Refusing)
        --m_refusing;
    connection.slot = Connection::Slot::None;
}

void Daemon::flushLocalClients()
{
    std::vector<int> overflowing;
    for (const auto& [fd, connection] : m_connections) {
        if (connection.local && m_inbox.overflowing(connection.client))
            overflowing.push_back(fd);
    }
    for (const int fd : overflowing) {
        m_log.warning("local client dropped: it stopped reading");
        drop(fd);
    }
    for (auto next = m_connections.begin(); next != m_connections.end();) {
        // Advanced first: a failed flush drops this connection alone.
        const int fd = next->first;
        Connection& connection = (next++)->second;
        if (!connection.local)
            continue;
        // Taken a chunk at a time, as the socket drains.
        if (connection.output.size() < Inbox::kOutputChunk && m_inbox.hasOutput(connection.client))
            connection.output += m_inbox.takeOutput(connection.client);
        if (!connection.output.empty())
            flush(fd, connection);
    }
}

std::optional<Daemon::Clock::time_point> Daemon::deadlineOf(const Connection& connection)
{
    if (connection.closing)
        return connection.closeBy;
    if (connection.machine)
        return connection.machine->deadline();
    return std::nullopt;
}

int Daemon::timeoutMs() const
{
    std::optional<Clock::time_point> next;
    const auto consider = [&](std::optional<Clock::time_point> at) {
        if (at && (!next || *at < *next))
            next = at;
    };
    for (const auto& [fd, connection] : m_connections)
        consider(deadlineOf(connection));
    for (const Source* source : m_sources)
        consider(source->deadline());
    if (!next)
        return -1;
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait + 1, 0, 60'000));
}

Daemon::Source* Daemon::sourceOf(int fd) const
{
    for (Source* source : m_sources) {
        if (std::ranges::count(source->fds(), fd) > 0)
            return source;
    }
    return nullptr;
}

void Daemon::runDeadlines()
{
    const auto now = Clock::now();
    for (Source* source : m_sources) {
        if (const auto at = source->deadline(); at && now >= *at)
            source->runDeadlines(now);
    }
    std::vector<int> due;
    for (const auto& [fd, connection] : m_connections) {
        if (const auto at = deadlineOf(connection); at && now >= *at)
            due.push_back(fd);
    }
    for (const int fd : due) {
        const auto found = m_connections.find(fd);
        if (found == m_connections.end())
            continue;
        if (found->second.closing)
            drop(fd);
        else
            afterSession(fd, found->second, found->second.machine->tick(now));
    }
}
