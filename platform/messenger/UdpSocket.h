#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

// A UDP socket on an ephemeral port for name-service requests (no root needed: responders
// answer to the source port, RFC 1002 5.1).
class UdpSocket
{
public:
    using Clock = std::chrono::steady_clock;
    enum class Status
    {
        Received,
        TimedOut,
        Refused,
        Failed
    };
    struct Received
    {
        Status status = Status::Failed;
        std::size_t size = 0;
    };

    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool open(bool broadcast);
    // Addresses in host byte order.
    bool connectTo(std::uint32_t address, std::uint16_t port);
    void sendTo(std::span<const std::uint8_t> datagram, std::uint32_t address, std::uint16_t port);
    void send(std::span<const std::uint8_t> datagram);
    // The address this socket sends from (host byte order); after connectTo, the one routing
    // picked for that peer.
    std::optional<std::uint32_t> localAddress() const;
    // One datagram (cut to the buffer's size) or why none came before deadline.
    Received receive(std::span<std::uint8_t> buffer, Clock::time_point deadline);

private:
    int m_fd = -1;
};
