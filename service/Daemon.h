#pragma once

#include "service/CommitPipeline.h"
#include "service/Inbox.h"
#include "service/Log.h"
#include "service/NameTable.h"
#include "service/Reception.h"
#include "service/SessionMachine.h"
#include "service/Settings.h"

#include "protocol/OemDecoder.h"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The socket loop: accepts sessions and local clients, moves bytes between the sockets and
// their SessionMachine or the Inbox, enforces the session limits and runs each deadline. One
// thread, epoll; every socket non-blocking.
class Daemon
{
public:
    using Clock = std::chrono::steady_clock;
    using Log = ::Log;

    struct Listeners
    {
        int session = -1; // TCP, listening
        int inbox = -1;   // Unix stream, listening
    };

    Daemon(const Settings& settings, Listeners listeners, const NameTable& names,
           Reception& reception, Inbox& inbox, const OemDecoder& decoder, uid_t handInUid, Log log);
    ~Daemon();

    // Runs until SIGTERM or SIGINT; false when the loop could not be set up.
    bool run();

    // Name-service hook: another part of the service with sockets and deadlines of its own,
    // run in this loop's thread. Added before run().
    class Source
    {
    public:
        virtual ~Source() = default;
        virtual std::vector<int> fds() const = 0;
        virtual void readable(int fd) = 0;
        virtual std::optional<Clock::time_point> deadline() const { return std::nullopt; }
        virtual void runDeadlines(Clock::time_point) {}
    };
    void addSource(Source* source) { m_sources.push_back(source); }

    // UDP on 0.0.0.0:port with address reuse, as nmbd binds, so that either can bind beside the
    // other; never an interface address, which would take nmbd's unicast datagrams. -1, with
    // errno, when it cannot be had.
    static int bindUdp(std::uint16_t port);
    // The login name of uid; nothing when the user database has none.
    static std::optional<std::string> loginOf(uid_t uid);

private:
    struct Connection
    {
        bool local = false; // a local client, else a session
        std::string address;
        enum class Slot
        {
            None,
            Session,  // one of the session places
            Refusing, // one of the places that answer "insufficient resources"
        };
        Slot slot = Slot::None;
        std::optional<SessionMachine> machine;
        Inbox::ClientId client = 0;
        uid_t uid = 0; // local clients
        std::string output;
        bool closing = false;
        Clock::time_point closeBy{};
        bool writeShut = false;
        std::uint32_t watching = 0; // the epoll events asked for
        std::uint64_t serial = 0;
    };

    bool stopOnSignal();
    void acceptSessions();
    void acceptLocal();
    // Watched for input from now on; false, and closed, when epoll refuses it.
    bool add(int fd, Connection connection);
    bool control(int op, int fd, std::uint32_t events);
    void serve(int fd, Connection& connection, std::uint32_t events);
    void readSession(int fd, Connection& connection);
    void afterSession(int fd, Connection& connection, const SessionMachine::Output& out);
    void readLocal(int fd, Connection& connection);
    void flush(int fd, Connection& connection);
    void startClosing(int fd, Connection& connection);
    void drop(int fd);
    void release(Connection& connection);
    void flushLocalClients();
    static std::optional<Clock::time_point> deadlineOf(const Connection& connection);
    int timeoutMs() const;
    void runDeadlines();
    void startCommit();
    void finishCommit();
    std::size_t placesOf(const std::string& address) const;
    bool dropOldestLingering();
    void watch(int fd, Connection& connection);
    Source* sourceOf(int fd) const;

    const Settings& m_settings;
    Listeners m_listeners;
    const NameTable& m_names;
    Reception& m_reception;
    Inbox& m_inbox;
    const OemDecoder& m_decoder;
    uid_t m_handInUid;
    Log m_log;
    int m_epoll = -1;
    int m_signals = -1;
    std::map<int, Connection> m_connections;
    std::size_t m_sessions = 0;
    std::size_t m_refusing = 0;
    std::size_t m_locals = 0;
    std::uint64_t m_nextSerial = 1;
    // Sessions whose END waits for its batch, by the reception's ticket: descriptor and
    // serial, since a descriptor may be reused.
    std::unordered_map<std::string, std::pair<int, std::uint64_t>> m_awaiting;
    CommitPipeline m_pipeline;
    std::vector<Source*> m_sources;
};
