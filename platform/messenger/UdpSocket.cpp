#include "platform/messenger/UdpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port)
{
    return {AF_INET, htons(port), {htonl(address)}, {}};
}

} // namespace

UdpSocket::~UdpSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpSocket::open(bool broadcast)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    const int on = 1;
    return !broadcast || ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool UdpSocket::connectTo(std::uint32_t address, std::uint16_t port)
{
    const sockaddr_in peer = endpoint(address, port);
    return ::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
}

void UdpSocket::sendTo(std::span<const std::uint8_t> datagram, std::uint32_t address,
                       std::uint16_t port)
{
    const sockaddr_in peer = endpoint(address, port);
    // A lost datagram is a lost try; the retries cover it.
    ::sendto(m_fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}

void UdpSocket::send(std::span<const std::uint8_t> datagram)
{
    ::send(m_fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
}

std::optional<std::uint32_t> UdpSocket::localAddress() const
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET)
        return std::nullopt;
    return ntohl(local.sin_addr.s_addr);
}

UdpSocket::Received UdpSocket::receive(std::span<std::uint8_t> buffer, Clock::time_point deadline)
{
    while (true) {
        const ssize_t size = ::recv(m_fd, buffer.data(), buffer.size(), MSG_TRUNC);
        if (size >= 0)
            return {Status::Received, std::min(static_cast<std::size_t>(size), buffer.size())};
        if (errno == ECONNREFUSED)
            return {Status::Refused, 0};
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return {Status::Failed, 0};

        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return {Status::TimedOut, 0};
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return {Status::Failed, 0};
    }
}
