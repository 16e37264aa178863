#pragma once

#include "protocol/NetbiosName.h"
#include "service/Daemon.h"
#include "service/Log.h"
#include "service/MessageSink.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

class OemDecoder;

// Messages to the whole workgroup: messenger mailslot writes on UDP 138, for our workgroup or
// our computer name. Nothing answers them, so a copy that arrives twice (two transports, two
// sockets) or a flood only costs us: copies are collapsed and a global rate caps the rest;
// the sink applies the per-address rate and the blocked lists as for sessions.
class WorkgroupReception final : public Daemon::Source
{
public:
    using Clock = std::chrono::steady_clock;
    using Log = ::Log;

    struct Options
    {
        std::string workgroup;    // upper case
        std::string computerName; // upper case
        std::chrono::milliseconds duplicateWindow{10'000};
        std::size_t messagesPerMinute = 60; // all sources together
    };

    // fd: a UDP socket on port 138, or -1 (then this only decides, for tests).
    WorkgroupReception(int fd, Options options, MessageSink& sink, const OemDecoder& decoder,
                       Log log, std::function<Clock::time_point()> now = &Clock::now);

    // Daemon::bindUdp(port), or -1 with a log line.
    static int openSocket(std::uint16_t port, const Log& log);

    // One datagram from sourceAddress (host byte order); true when it became a message.
    bool receive(std::span<const std::uint8_t> datagram, std::uint32_t sourceAddress);

    std::vector<int> fds() const override;
    void readable(int fd) override;

private:
    struct Seen
    {
        std::uint32_t source = 0;
        std::uint16_t datagramId = 0;
        std::vector<std::uint8_t> from;
        std::vector<std::uint8_t> text;
        Clock::time_point at{};
    };

    bool forUs(bool group, const NetbiosName& destination) const;

    int m_fd;
    Options m_options;
    MessageSink& m_sink;
    const OemDecoder& m_decoder;
    Log m_log;
    std::function<Clock::time_point()> m_now;
    std::deque<Seen> m_seen;
    std::deque<Clock::time_point> m_accepted;
};
