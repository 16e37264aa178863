#include "FakeSessionPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxPeerFrame = 0x1FFFF;

int loopbackListener(int backlog, std::uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        port = 0;
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int remainingMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

PeerConnection::PeerConnection(int fd, int index, std::vector<PeerFrame>& log, std::mutex& logMutex)
    : m_fd(fd), m_index(index), m_log(log), m_logMutex(logMutex)
{}

PeerConnection::~PeerConnection()
{
    close();
}

bool PeerConnection::readExactly(std::uint8_t* out, std::size_t size, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size && m_fd >= 0) {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, remainingMs(deadline)) <= 0)
            return false;
        const ssize_t got = ::recv(m_fd, out + done, size - done, 0);
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return done == size;
}

std::optional<PeerFrame> PeerConnection::readFrame(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::uint8_t header[4];
    if (!readExactly(header, 4, deadline))
        return std::nullopt;
    const std::size_t length = ((header[1] & 0x01u) << 16) | (header[2] << 8) | header[3];
    PeerFrame frame;
    frame.connection = m_index;
    frame.type = header[0];
    frame.body.resize(std::min(length, kMaxPeerFrame));
    if (!readExactly(frame.body.data(), frame.body.size(), deadline))
        return std::nullopt;
    const std::lock_guard lock(m_logMutex);
    m_log.push_back(frame);
    return frame;
}

bool PeerConnection::send(const std::vector<std::uint8_t>& bytes)
{
    return m_fd >= 0 &&
           ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

void PeerConnection::reset()
{
    if (m_fd < 0)
        return;
    const linger abort{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

void PeerConnection::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void PeerConnection::waitForClientClose(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::uint8_t sink[512];
    while (m_fd >= 0) {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, remainingMs(deadline)) <= 0)
            return;
        if (::recv(m_fd, sink, sizeof sink, 0) <= 0)
            return;
    }
}

FakeSessionPeer::FakeSessionPeer(Script script) : m_script(std::move(script))
{
    m_listenFd = loopbackListener(16, m_port);
    if (m_listenFd >= 0)
        m_thread = std::thread([this] { run(); });
}

FakeSessionPeer::~FakeSessionPeer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void FakeSessionPeer::run()
{
    while (!m_stop) {
        pollfd entry{m_listenFd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        sockaddr_in client{};
        socklen_t length = sizeof client;
        const int fd =
            ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&client), &length, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            const std::lock_guard lock(m_logMutex);
            const auto probe = m_probes.find(ntohs(client.sin_port));
            if (probe != m_probes.end()) {
                probe->second = m_connections.load();
                ::close(fd);
                m_accepted.notify_all();
                continue;
            }
        }
        PeerConnection connection(fd, m_connections.fetch_add(1), m_log, m_logMutex);
        m_script(connection);
    }
}

int FakeSessionPeer::connectionsSoFar()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    // Bound first, so that the peer knows the probe by its port before it can arrive.
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const std::uint16_t probe = ntohs(local.sin_port);
    {
        const std::lock_guard lock(m_logMutex);
        m_probes[probe] = -1;
    }
    sockaddr_in address = local;
    address.sin_port = htons(m_port);
    int before = -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::unique_lock lock(m_logMutex);
        m_accepted.wait_for(lock, std::chrono::seconds(5), [&] { return m_probes[probe] >= 0; });
        before = m_probes[probe];
    }
    ::close(fd);
    return before;
}

std::vector<PeerFrame> FakeSessionPeer::frames() const
{
    const std::lock_guard lock(m_logMutex);
    return m_log;
}

FullBacklogListener::FullBacklogListener()
{
    m_listenFd = loopbackListener(0, m_port);
    if (m_listenFd < 0)
        return;
    // Linux keeps backlog + 1 connections queued; later SYNs are dropped, so connects hang.
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_fillers.push_back(fd);
    }
    // The queue is full once the first filler is through its handshake.
    pollfd first{m_fillers.front(), POLLOUT, 0};
    ::poll(&first, 1, 5000);
}

FullBacklogListener::~FullBacklogListener()
{
    for (const int fd : m_fillers)
        ::close(fd);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

std::uint16_t closedLoopbackPort()
{
    std::uint16_t port = 0;
    const int fd = loopbackListener(1, port);
    if (fd >= 0)
        ::close(fd);
    return port;
}
