#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct PeerFrame
{
    int connection = 0;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> body;
};

// One accepted connection of a FakeSessionPeer, driven by a test script.
class PeerConnection
{
public:
    PeerConnection(int fd, int index, std::vector<PeerFrame>& log, std::mutex& logMutex);
    ~PeerConnection();

    int index() const { return m_index; }
    // The next frame the client sent (keep-alives included), or nullopt on close or timeout.
    std::optional<PeerFrame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // False once the client has gone.
    bool send(const std::vector<std::uint8_t>& bytes);
    // Closes with a TCP reset instead of a FIN.
    void reset();
    void close();
    // Says nothing until the client gives up and closes (bounded by timeout).
    void waitForClientClose(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    bool readExactly(std::uint8_t* out, std::size_t size,
                     std::chrono::steady_clock::time_point deadline);

    int m_fd;
    int m_index;
    std::vector<PeerFrame>& m_log;
    std::mutex& m_logMutex;
};

// A scripted receiver on 127.0.0.1 and a free port, for peers that misbehave on purpose.
// Accepts connections one after another and runs the script on each.
class FakeSessionPeer
{
public:
    using Script = std::function<void(PeerConnection&)>;

    explicit FakeSessionPeer(Script script);
    ~FakeSessionPeer();

    std::uint16_t port() const { return m_port; }
    int connections() const { return m_connections.load(); }
    // The connections that came before this call, counted without waiting a fixed time: a
    // connection of its own goes in behind them and is counted out once it is accepted.
    // -1 when that connection is not accepted within 5 s.
    int connectionsSoFar();
    std::vector<PeerFrame> frames() const;

private:
    void run();

    Script m_script;
    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_logMutex;
    std::vector<PeerFrame> m_log;
    // Probe connections by client port, with the count of connections before each (-1 until
    // accepted); under m_logMutex.
    std::condition_variable m_accepted;
    std::map<std::uint16_t, int> m_probes;
    std::thread m_thread;
};

// A listener that never accepts and whose queue is full, so that a further connect hangs.
class FullBacklogListener
{
public:
    FullBacklogListener();
    ~FullBacklogListener();
    std::uint16_t port() const { return m_port; }

private:
    int m_listenFd = -1;
    std::vector<int> m_fillers;
    std::uint16_t m_port = 0;
};

// A port on 127.0.0.1 where nothing listens.
std::uint16_t closedLoopbackPort();
