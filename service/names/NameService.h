#pragma once

#include "service/Daemon.h"
#include "service/Inbox.h"
#include "service/NameTable.h"
#include "service/names/Aliases.h"
#include "service/names/NameHolder.h"

#include "platform/network/Ipv4Interfaces.h"
#include "platform/network/LinuxInterfaceWatch.h"

#include <memory>
#include <string>
#include <vector>

// vorelind's name service: the UDP 137 socket, the interface list and its changes, and the
// user aliases, around a NameHolder. Runs in the daemon's loop as one of its sources.
class NameService final : public Daemon::Source, public Inbox::Presence
{
public:
    using Log = std::function<void(const std::string&)>;

    // fd < 0: the service is off (no socket, or another program holds the port); aliases are
    // then reported as unavailable and nothing is sent.
    NameService(int fd, NameHolder::Settings settings, std::vector<std::string> onlyInterfaces,
                Aliases::Timing aliasTiming, NameTable& table, Inbox& inbox,
                Ipv4Interfaces& interfaces, Log log);
    ~NameService() override;

    // Direct mode: UDP on 0.0.0.0:port, without address reuse, so that a port that nmbd holds
    // fails here. -1 when it cannot be had (logged).
    static int openSocket(std::uint16_t port, const Log& log);
    // The socket, or -1 (closing it) when another socket shares its port: nmbd binds with
    // address reuse and would take the answers meant for us. Logged either way.
    static int exclusive(int fd, const Log& log);

    // Registers the computer name on every interface.
    void start();
    // Releases every held name.
    void shutdown();

    std::vector<int> fds() const override;
    void readable(int fd) override;
    std::optional<Daemon::Clock::time_point> deadline() const override;
    void runDeadlines(Daemon::Clock::time_point now) override;

    std::vector<std::pair<std::string, std::string>> connected(const Inbox::Peer& peer) override;
    void disconnected(const Inbox::Peer& peer) override;

private:
    static bool hasAlias(const Inbox::Peer& peer);
    void rescan(Daemon::Clock::time_point now);
    void flush();
    void applyChanges(bool tell);
    void send(const NameHolder::Datagram& datagram);

    int m_fd;
    std::vector<std::string> m_onlyInterfaces;
    NameTable& m_table;
    Inbox& m_inbox;
    Ipv4Interfaces& m_interfaces;
    Log m_log;
    NameHolder m_holder;
    Aliases m_aliases;
    NetbiosName m_computerName;
    std::unique_ptr<LinuxInterfaceWatch> m_watch;
    std::vector<NameHolder::Interface> m_current;
    Daemon::Clock::time_point m_nextRescan{};
};
