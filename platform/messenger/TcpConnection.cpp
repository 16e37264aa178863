#include "platform/messenger/TcpConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace {

// Milliseconds left until deadline, for poll(): never negative.
int remainingMs(TcpConnection::Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - TcpConnection::Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

// Waits for events on fd; false on timeout or poll failure.
bool waitFor(int fd, short events, TcpConnection::Clock::time_point deadline)
{
    while (true) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

TcpConnection::ConnectResult TcpConnection::connectResultFor(int error)
{
    switch (error) {
    case 0:
        return TcpConnection::ConnectResult::Connected;
    case ECONNREFUSED:
        return TcpConnection::ConnectResult::Refused;
    case ETIMEDOUT:
        return TcpConnection::ConnectResult::TimedOut;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return TcpConnection::ConnectResult::HostUnreachable;
    case ENETUNREACH:
    case ENETDOWN:
        return TcpConnection::ConnectResult::Unreachable;
    default:
        return TcpConnection::ConnectResult::Failed;
    }
}

TcpConnection::~TcpConnection()
{
    close();
}

void TcpConnection::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void TcpConnection::adopt(int fd)
{
    close();
    m_reader.clear();
    m_fd = fd;
}

TcpConnection::ConnectResult TcpConnection::connect(std::uint32_t address, std::uint16_t port,
                                                    Clock::time_point deadline)
{
    close();
    m_reader.clear();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return ConnectResult::Failed;
    // Each SMB is one small write that waits for its reply: no reason to delay it.
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    const sockaddr_in peer{AF_INET, htons(port), {htonl(address)}, {}};
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return ConnectResult::Connected;
    if (errno != EINPROGRESS)
        return connectResultFor(errno);

    if (!waitFor(m_fd, POLLOUT, deadline))
        return ConnectResult::TimedOut;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return ConnectResult::Failed;
    return connectResultFor(error);
}

TcpConnection::IoResult TcpConnection::sendAll(std::span<const std::uint8_t> bytes,
                                               Clock::time_point deadline)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(m_fd, POLLOUT, deadline))
                return IoResult::TimedOut;
            continue;
        }
        if (sent < 0 && (errno == EPIPE || errno == ECONNRESET))
            return IoResult::Reset;
        return IoResult::Failed;
    }
    return IoResult::Ok;
}

TcpConnection::IoResult TcpConnection::readFrame(SessionFrame& frame, Clock::time_point deadline)
{
    std::array<std::uint8_t, 4096> chunk;
    while (true) {
        switch (m_reader.next(frame)) {
        case FrameReader::Status::Frame:
            return IoResult::Ok;
        case FrameReader::Status::Malformed:
        case FrameReader::Status::Oversized:
            return IoResult::Malformed;
        case FrameReader::Status::NeedMore:
            break;
        }
        // A peer that never stops sending (keep-alives, a frame a byte at a time) must not
        // keep the wait open past its deadline.
        if (Clock::now() >= deadline)
            return IoResult::TimedOut;
        const ssize_t received = ::recv(m_fd, chunk.data(), chunk.size(), 0);
        if (received > 0) {
            m_reader.append(std::span(chunk.data(), static_cast<std::size_t>(received)));
            continue;
        }
        if (received == 0)
            return IoResult::Closed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(m_fd, POLLIN, deadline))
                return IoResult::TimedOut;
            continue;
        }
        return errno == ECONNRESET ? IoResult::Reset : IoResult::Failed;
    }
}
