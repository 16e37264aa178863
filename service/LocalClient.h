#pragma once

#include "protocol/local/LocalProtocol.h"

#include <chrono>
#include <optional>
#include <string>

// The client end of vorelind's Unix socket: connect, send a line, read lines with a deadline.
// A line over the protocol's limit ends the connection.
class LocalClient
{
public:
    static constexpr const char* kDefaultSocket = "/run/vorelin/inbox.socket";

    LocalClient() = default;
    ~LocalClient() { close(); }
    LocalClient(const LocalClient&) = delete;
    LocalClient& operator=(const LocalClient&) = delete;

    bool connect(const std::string& path, std::string& error);
    void close();

    // One encoded line, its line break included.
    bool sendLine(const std::string& line);
    // Says it is done sending and waits (bounded) until the service closed too, so that every
    // line sent was read before this process exits.
    void finish(std::chrono::milliseconds timeout);
    enum class Read
    {
        Line,
        Timeout,
        Closed
    };
    using Clock = std::chrono::steady_clock;
    // Waits for the next line until the deadline (none: forever), and decodes it.
    Read read(LocalProtocol::Line& line, std::optional<Clock::time_point> deadline);

private:
    int m_fd = -1;
    LocalProtocol::LineReader m_reader;
};
