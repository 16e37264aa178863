#pragma once

#include <chrono>
#include <optional>
#include <string>

// The client end of vorelind's Unix socket: connect, send a line, read lines with a deadline.
// Lines longer than the service ever sends end the connection.
class LocalClient
{
public:
    static constexpr const char* kDefaultSocket = "/run/vorelin/inbox.socket";
    static constexpr std::size_t kMaxLine = 256 * 1024;

    LocalClient() = default;
    ~LocalClient();
    LocalClient(const LocalClient&) = delete;
    LocalClient& operator=(const LocalClient&) = delete;

    bool connect(const std::string& path, std::string& error);
    void close();
    bool connected() const { return m_fd >= 0; }

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
    // Waits for the next line until the timeout (none: forever).
    Read readLine(std::string& line, std::optional<std::chrono::milliseconds> timeout);

private:
    int m_fd = -1;
    std::string m_buffer;
};
