#pragma once

#include "protocol/FrameReader.h"

#include <chrono>
#include <cstdint>
#include <span>

// One TCP connection with a deadline on every step. Writes never raise SIGPIPE.
class TcpConnection
{
public:
    using Clock = std::chrono::steady_clock;

    enum class ConnectResult
    {
        Connected,
        Refused,
        TimedOut,
        // No route to the host, or it does not answer ARP.
        HostUnreachable,
        // No route to its network.
        Unreachable,
        Failed
    };
    enum class IoResult
    {
        Ok,
        Closed,
        Reset,
        TimedOut,
        Malformed,
        Failed
    };

    explicit TcpConnection(std::size_t maxFrameBody) : m_reader(maxFrameBody) {}
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // address in host byte order.
    ConnectResult connect(std::uint32_t address, std::uint16_t port, Clock::time_point deadline);
    // Takes over an already connected stream socket (a test's socketpair end).
    void adopt(int fd);
    IoResult sendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
    // The next frame that is not a keep-alive.
    IoResult readFrame(SessionFrame& frame, Clock::time_point deadline);
    void close();

    // What a connect's errno means.
    static ConnectResult connectResultFor(int error);

private:
    int m_fd = -1;
    FrameReader m_reader;
};
