#include "service/LocalClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool LocalClient::connect(const std::string& path, std::string& error)
{
    close();
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (path.size() >= sizeof where.sun_path) {
        error = "socket path too long";
        return false;
    }
    std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        error = path + ": " + std::strerror(errno);
        close();
        return false;
    }
    return true;
}

void LocalClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_reader = {};
}

bool LocalClient::sendLine(const std::string& line)
{
    std::size_t done = 0;
    while (m_fd >= 0 && done < line.size()) {
        const ssize_t n = ::send(m_fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return m_fd >= 0;
}

void LocalClient::finish(std::chrono::milliseconds timeout)
{
    if (m_fd < 0)
        return;
    ::shutdown(m_fd, SHUT_WR);
    LocalProtocol::Line ignored;
    // Lines still arriving (a new message) are dropped unacknowledged: they stay waiting.
    for (int i = 0; i < 1000 && read(ignored, Clock::now() + timeout) == Read::Line; ++i) {
    }
    close();
}

LocalClient::Read LocalClient::read(LocalProtocol::Line& line,
                                    std::optional<Clock::time_point> deadline)
{
    while (m_fd >= 0) {
        if (const auto next = m_reader.nextLine()) {
            line = LocalProtocol::decode(*next);
            return Read::Line;
        }
        if (m_reader.failed())
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline.value_or(Clock::time_point::max()) - Clock::now());
        if (left.count() <= 0)
            return Read::Timeout;
        pollfd poller{m_fd, POLLIN, 0};
        const int ready = ::poll(&poller, 1, deadline ? static_cast<int>(left.count()) : -1);
        char chunk[8192];
        const ssize_t n = ready > 0 ? ::recv(m_fd, chunk, sizeof chunk, 0) : ready;
        if (n < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return Read::Timeout;
        if (n <= 0)
            break;
        m_reader.append(std::string_view(chunk, std::size_t(n)));
    }
    close();
    return Read::Closed;
}
