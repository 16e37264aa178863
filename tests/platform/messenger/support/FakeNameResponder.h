#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A name-service responder on a loopback address and a free UDP port. For each datagram it
// receives, the script returns the datagrams to send back to its sender.
class FakeNameResponder
{
public:
    using Datagram = std::vector<std::uint8_t>;
    using Script = std::function<std::vector<Datagram>(const Datagram& request, int index)>;

    // address: 127.x.y.z in host byte order; port 0 picks a free one.
    FakeNameResponder(std::uint32_t address, Script script, std::uint16_t port = 0);
    ~FakeNameResponder();

    std::uint16_t port() const { return m_port; }
    std::vector<Datagram> requests() const;

private:
    void run();

    Script m_script;
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Datagram> m_requests;
    std::thread m_thread;
};
