#include "FakeNameResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

FakeNameResponder::FakeNameResponder(std::uint32_t address, Script script, std::uint16_t port)
    : m_script(std::move(script))
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return;
    m_port = ntohs(local.sin_port);
    m_thread = std::thread([this] { run(); });
}

FakeNameResponder::~FakeNameResponder()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FakeNameResponder::run()
{
    while (!m_stop) {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        Datagram request(1500);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size = ::recvfrom(m_fd, request.data(), request.size(), 0,
                                        reinterpret_cast<sockaddr*>(&sender), &length);
        if (size < 0)
            continue;
        request.resize(static_cast<std::size_t>(size));
        int index = 0;
        {
            const std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
            index = static_cast<int>(m_requests.size()) - 1;
        }
        // Only ever answer a loopback sender.
        if ((ntohl(sender.sin_addr.s_addr) >> 24) != 127)
            continue;
        for (const Datagram& reply : m_script(request, index))
            ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&sender),
                     length);
    }
}

std::vector<FakeNameResponder::Datagram> FakeNameResponder::requests() const
{
    const std::lock_guard lock(m_mutex);
    return m_requests;
}
