#pragma once

#include "service/Daemon.h"
#include "service/Inbox.h"
#include "service/Log.h"
#include "service/NameTable.h"
#include "service/names/Aliases.h"
#include "service/names/NameHolder.h"

#include "platform/network/Ipv4Interfaces.h"
#include "platform/network/LinuxInterfaceWatch.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

// vorelind's name service: the UDP 137 socket, the interface list and its changes, and the
// user aliases, around a NameHolder. Runs in the daemon's loop as one of its sources.
// Samba's nmbd comes first: while another program has a socket on the port, the service holds
// no names and answers nothing; it watches the kernel's socket table, gives way when such a
// socket appears and takes the names back when it is gone.
class NameService final : public Daemon::Source, public Inbox::Presence
{
public:
    using Log = ::Log;

    struct Options
    {
        std::vector<std::string> onlyInterfaces; // empty: every interface
        Aliases::Timing aliasTiming;
        // How often the socket table is read for another program on the port.
        std::chrono::milliseconds watchInterval{2000};
        // The socket is ours (direct mode): closed while another program holds the port, so
        // that no datagram meant for it comes to us, and bound again afterwards.
        bool ownSocket = false;
    };

    // fd < 0: the service is off for good (no socket); aliases are then reported as
    // unavailable and nothing is sent.
    NameService(int fd, NameHolder::Settings settings, Options options, NameTable& table,
                Inbox& inbox, Ipv4Interfaces& interfaces, Log log);
    ~NameService() override;
    NameService(const NameService&) = delete;
    NameService& operator=(const NameService&) = delete;

    // Direct mode: Daemon::bindUdp(port) with room for bursts; -1 when it cannot be had (logged).
    static int openSocket(std::uint16_t port, const Log& log);

    // Registers the computer name on every interface, unless another program holds the port.
    void start();
    // Releases every held name.
    void shutdown();

    // The users logged in now (a login watch): their aliases are held with or without a client.
    void setLoggedIn(const std::set<std::string>& users);

    std::vector<int> fds() const override;
    void readable(int fd) override;
    std::optional<Daemon::Clock::time_point> deadline() const override;
    void runDeadlines(Daemon::Clock::time_point now) override;

    void connected(const Inbox::Peer& peer, LocalProtocol::Hello& hello) override;
    void disconnected(const Inbox::Peer& peer) override;

private:
    void configureSocket();
    void closeOwnSocket();
    void activate(Daemon::Clock::time_point now);
    // Whether another program has a socket on the port; nothing when the table is unreadable.
    std::optional<bool> othersOnPort() const;
    void watch(Daemon::Clock::time_point now);
    void giveWay();
    void takeBack(Daemon::Clock::time_point now);
    void tellAliases(const std::vector<std::string>& users);
    LocalProtocol::NameUpdate computerUpdate() const;
    void readDatagrams(Daemon::Clock::time_point now);
    void rescan(Daemon::Clock::time_point now);
    // The datagrams out, and the names' changes applied; tell: clients hear of them now.
    void flush(bool tell = true);
    void send(const NameHolder::Datagram& datagram);

    int m_fd;
    // The daemon polls this one descriptor, so the socket may come and go.
    int m_poll = -1;
    std::uint16_t m_port = 0; // 0: off for good
    bool m_active = false;
    Options m_options;
    NameTable& m_table;
    Inbox& m_inbox;
    Ipv4Interfaces& m_interfaces;
    Log m_log;
    NameHolder::Settings m_settings;
    NameHolder m_holder;
    Aliases m_aliases;
    NetbiosName m_computerName;
    std::unique_ptr<LinuxInterfaceWatch> m_watch;
    std::vector<NameHolder::Interface> m_current;
    Daemon::Clock::time_point m_nextRescan{};
    Daemon::Clock::time_point m_nextWatch{};
};
