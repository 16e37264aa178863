#include "service/names/NameService.h"

#include "service/names/UdpPortOwners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace {

// Without netlink the list is read again this often; with it, as a safety net.
constexpr std::chrono::seconds kRescanInterval{30};
// Datagrams read per readiness event, so that a flood cannot starve the sessions.
constexpr int kReadsPerEvent = 64;
// Name-service datagrams are at most 576 bytes; anything longer is not one.
constexpr std::size_t kMaxDatagram = 1024;

std::uint16_t randomTransactionId()
{
    std::random_device device;
    return static_cast<std::uint16_t>(device());
}

// Room for the one IP_PKTINFO that says which interface a datagram came in or goes out on.
constexpr std::size_t kPktinfoSpace = CMSG_SPACE(sizeof(in_pktinfo));

void watchFd(int poll, int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event);
}

msghdr pktinfoMessage(sockaddr_in& address, iovec& io, char (&control)[kPktinfoSpace])
{
    return {.msg_name = &address,
            .msg_namelen = sizeof address,
            .msg_iov = &io,
            .msg_iovlen = 1,
            .msg_control = control,
            .msg_controllen = sizeof control,
            .msg_flags = 0};
}

bool hasAlias(const Inbox::Peer& peer)
{
    // The account smbd's message command runs as hands messages in; it is nobody's inbox.
    return !(peer.mayHandIn && peer.uid != 0);
}

LocalProtocol::NameUpdate aliasUpdate(const Aliases::Alias& alias)
{
    return {false, alias.name, Aliases::stateText(alias.state)};
}

} // namespace

NameService::NameService(int fd, NameHolder::Settings settings, Options options, NameTable& table,
                         Inbox& inbox, Ipv4Interfaces& interfaces, Log log)
    : m_fd(fd), m_options(std::move(options)), m_table(table), m_inbox(inbox),
      m_interfaces(interfaces), m_log(log), m_settings(settings),
      m_holder(settings, randomTransactionId(), log),
      m_aliases(fd >= 0, table.computerName(), m_options.aliasTiming),
      m_computerName(Aliases::messengerName(table.computerName()))
{
    if (m_fd < 0)
        return;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    m_poll = ::epoll_create1(EPOLL_CLOEXEC);
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || m_poll < 0) {
        m_log.err("name service off: " + std::string(std::strerror(errno)));
        ::close(m_fd);
        m_fd = -1;
        m_aliases.setServiceOn(false, Daemon::Clock::now());
        return;
    }
    m_port = ntohs(local.sin_port);
    m_settings.namePort = m_port;
    m_holder = NameHolder(m_settings, randomTransactionId(), m_log);
    configureSocket();
    m_watch = std::make_unique<LinuxInterfaceWatch>();
    if (m_watch->fd() >= 0)
        watchFd(m_poll, m_watch->fd());
}

NameService::~NameService()
{
    closeOwnSocket();
    if (m_poll >= 0)
        ::close(m_poll);
}

void NameService::configureSocket()
{
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    watchFd(m_poll, m_fd);
}

void NameService::closeOwnSocket()
{
    if (m_options.ownSocket && m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int NameService::openSocket(std::uint16_t port, const Log& log)
{
    const int fd = Daemon::bindUdp(port);
    if (fd < 0) {
        log.err("name service off: cannot bind UDP " + std::to_string(port) + ": " +
                std::strerror(errno));
        return -1;
    }
    // Room for a flood's burst, so that other hosts' queries are not lost in the kernel
    // before our answer budget can choose; past the system's limit only as root.
    const int room = 1 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    return fd;
}

std::optional<bool> NameService::othersOnPort() const
{
    const auto table = UdpPortOwners::readTable();
    if (!table)
        return std::nullopt;
    const auto own = m_fd >= 0 ? UdpPortOwners::inodeOf(m_fd) : std::nullopt;
    if (m_fd >= 0 && !own)
        return std::nullopt;
    for (const unsigned long inode : UdpPortOwners::inodesOnPort(*table, m_port)) {
        if (!own || inode != *own)
            return true;
    }
    return false;
}

void NameService::start()
{
    if (m_port == 0)
        return;
    const auto now = Daemon::Clock::now();
    m_nextWatch = now + m_options.watchInterval;
    const auto others = othersOnPort();
    if (!others) {
        m_log.err("name service off: cannot tell whether another program holds the names port");
        m_port = 0;
        m_aliases.setServiceOn(false, now);
        return;
    }
    if (*others) {
        m_log.notice(
            "name service off: another program (nmbd?) has a socket on UDP " +
            std::to_string(m_port) +
            "; the computer name is then its to hold (nmbd's 'netbios name'), user aliases "
            "are unavailable until it is gone");
        m_aliases.setServiceOn(false, now);
        closeOwnSocket();
        return;
    }
    m_log.info("name service on UDP " + std::to_string(m_port));
    activate(now);
    flush();
}

void NameService::activate(Daemon::Clock::time_point now)
{
    m_active = true;
    m_current.clear();
    rescan(now);
    if (!m_table.computerName().empty())
        m_holder.addName(m_computerName, now);
}

void NameService::shutdown()
{
    if (!m_active)
        return;
    m_holder.shutdown();
    flush();
}

void NameService::watch(Daemon::Clock::time_point now)
{
    m_nextWatch = now + m_options.watchInterval;
    const auto others = othersOnPort();
    if (!others)
        return;
    if (m_active && *others)
        giveWay();
    else if (!m_active && !*others)
        takeBack(now);
}

// As when the other program was there first: our names released on the wire, nothing answered
// any more, and every user told.
void NameService::giveWay()
{
    m_log.notice("names: another program (nmbd?) now has a socket on UDP " +
                 std::to_string(m_port) +
                 "; releasing our names and leaving the name service to it");
    m_active = false;
    m_holder.shutdown();
    flush();
    m_table.setComputerNameLost(false);
    const auto changed = m_aliases.setServiceOn(false, Daemon::Clock::now());
    for (const NetbiosName& name : changed.names)
        m_table.removeAlias(name.trimmedName());
    m_inbox.tellAll(LocalProtocol::encode(computerUpdate()));
    tellAliases(changed.users);
    closeOwnSocket();
}

void NameService::takeBack(Daemon::Clock::time_point now)
{
    if (m_options.ownSocket && m_fd < 0) {
        m_fd = openSocket(m_port, m_log);
        if (m_fd < 0)
            return;
        configureSocket();
    }
    // What queued up while we stood aside was not for us.
    std::uint8_t discard[kMaxDatagram];
    for (int i = 0; i < 4096 && ::recv(m_fd, discard, sizeof discard, MSG_DONTWAIT) >= 0; ++i) {
    }
    m_log.notice("names: UDP " + std::to_string(m_port) +
                 " is ours alone again; taking the name service back");
    m_holder = NameHolder(m_settings, randomTransactionId(), m_log);
    activate(now);
    const auto changed = m_aliases.setServiceOn(true, now);
    for (const NetbiosName& name : changed.names)
        m_holder.addName(name, now);
    m_inbox.tellAll(LocalProtocol::encode(computerUpdate()));
    tellAliases(changed.users);
    flush();
}

void NameService::tellAliases(const std::vector<std::string>& users)
{
    for (const std::string& user : users) {
        if (const auto alias = m_aliases.aliasOf(user))
            m_inbox.tellUser(user, LocalProtocol::encode(aliasUpdate(*alias)));
    }
}

std::vector<int> NameService::fds() const
{
    if (m_poll < 0)
        return {};
    return {m_poll};
}

void NameService::readable(int)
{
    const auto now = Daemon::Clock::now();
    epoll_event events[4];
    const int count = ::epoll_wait(m_poll, events, 4, 0);
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (m_watch && fd == m_watch->fd()) {
            if (m_watch->drain() && m_active)
                rescan(now);
        } else if (fd == m_fd) {
            readDatagrams(now);
        }
    }
    flush();
}

void NameService::readDatagrams(Daemon::Clock::time_point now)
{
    for (int i = 0; i < kReadsPerEvent; ++i) {
        std::uint8_t buffer[kMaxDatagram];
        sockaddr_in source{};
        alignas(cmsghdr) char control[kPktinfoSpace];
        iovec io{buffer, sizeof buffer};
        msghdr message = pktinfoMessage(source, io, control);
        const ssize_t got = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (got < 0)
            break;
        // Standing aside: read and dropped, so that nothing stale waits for our return.
        if (!m_active || (message.msg_flags & MSG_TRUNC) != 0 || source.sin_family != AF_INET)
            continue;
        int index = 0;
        std::uint32_t destination = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                index = info.ipi_ifindex;
                destination = ntohl(info.ipi_addr.s_addr);
            }
        }
        // A unicast to one of our addresses from this machine arrives over loopback; it is
        // answered with the address it was sent to.
        for (const auto& interface : m_current) {
            if (!interface.loopback && interface.address == destination)
                index = interface.index;
        }
        m_holder.receive(std::span(buffer, static_cast<std::size_t>(got)),
                         ntohl(source.sin_addr.s_addr), ntohs(source.sin_port), index, now);
    }
}

std::optional<Daemon::Clock::time_point> NameService::deadline() const
{
    if (m_port == 0)
        return std::nullopt;
    if (!m_active)
        return m_nextWatch;
    auto next = std::min(m_nextWatch, m_nextRescan);
    for (const auto& other : {m_holder.nextDeadline(), m_aliases.nextDeadline()})
        next = std::min(next, other.value_or(next));
    return next;
}

void NameService::runDeadlines(Daemon::Clock::time_point now)
{
    if (m_port == 0)
        return;
    if (now >= m_nextWatch)
        watch(now);
    if (!m_active)
        return;
    if (now >= m_nextRescan)
        rescan(now);
    for (const NetbiosName& name : m_aliases.expire(now)) {
        m_table.removeAlias(name.trimmedName());
        m_holder.removeName(name);
    }
    m_holder.tick(now);
    flush();
}

void NameService::rescan(Daemon::Clock::time_point now)
{
    m_nextRescan = now + kRescanInterval;
    const auto listed = m_interfaces.GetIpv4Interfaces();
    if (!listed)
        return;
    std::vector<NameHolder::Interface> interfaces;
    for (const Ipv4Interface& i : *listed) {
        if (!m_options.onlyInterfaces.empty() &&
            std::ranges::find(m_options.onlyInterfaces, i.name) == m_options.onlyInterfaces.end())
            continue;
        interfaces.push_back({i.index, i.name, i.address, i.broadcast, i.loopback});
    }
    if (interfaces == m_current)
        return;
    m_current = interfaces;
    std::string names;
    for (const auto& i : interfaces)
        names += (names.empty() ? "" : ", ") + i.name;
    m_log.info("names: interfaces " + (names.empty() ? std::string("none") : names));
    m_holder.setInterfaces(interfaces, now);
}

// Sessions are accepted for a name only while it is held; users hear of their alias.
void NameService::flush(bool tell)
{
    for (const auto& datagram : m_holder.takeOutgoing())
        send(datagram);
    for (const auto& change : m_holder.takeChanges()) {
        const bool held = change.status == NameHolder::Status::Held;
        if (change.name == m_computerName) {
            m_table.setComputerNameLost(change.status == NameHolder::Status::Conflict);
        } else if (const auto owner = m_aliases.ownerOf(change.name); owner && held) {
            m_table.addAlias(change.name.trimmedName(), *owner);
        } else {
            m_table.removeAlias(change.name.trimmedName());
        }
        const auto computerBefore = m_aliases.computerNameState();
        const auto users = m_aliases.statusChanged(change.name, change.status);
        if (tell && m_aliases.computerNameState() != computerBefore)
            m_inbox.tellAll(LocalProtocol::encode(computerUpdate()));
        if (tell)
            tellAliases(users);
    }
}

void NameService::send(const NameHolder::Datagram& datagram)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(datagram.address);
    to.sin_port = htons(datagram.port);
    iovec io{const_cast<std::uint8_t*>(datagram.bytes.data()), datagram.bytes.size()};
    alignas(cmsghdr) char control[kPktinfoSpace] = {};
    msghdr message = pktinfoMessage(to, io, control);
    // Out of the interface the datagram belongs to, from that interface's address.
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = datagram.interfaceIndex;
    info.ipi_spec_dst.s_addr = htonl(datagram.source);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    // A full send buffer drops the datagram, as the network may.
    ::sendmsg(m_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
}

LocalProtocol::NameUpdate NameService::computerUpdate() const
{
    return {true, m_table.computerName(), Aliases::stateText(m_aliases.computerNameState())};
}

void NameService::connected(const Inbox::Peer& peer, LocalProtocol::Hello& hello)
{
    LocalProtocol::apply(hello, computerUpdate());
    if (!hasAlias(peer))
        return;
    if (const auto name = m_aliases.connected(peer.user, Daemon::Clock::now())) {
        m_holder.addName(*name, Daemon::Clock::now());
        // The client is not listening yet: its hello carries the state.
        flush(false);
    }
    const auto alias = m_aliases.aliasOf(peer.user);
    if (alias->state == Aliases::State::TooLong)
        m_log.warning("names: no alias for " + peer.user + ": longer than 15 bytes");
    LocalProtocol::apply(hello, aliasUpdate(*alias));
}

void NameService::setLoggedIn(const std::set<std::string>& users)
{
    const auto now = Daemon::Clock::now();
    for (const NetbiosName& name : m_aliases.setLoggedIn(users, now))
        m_holder.addName(name, now);
    flush();
}

void NameService::disconnected(const Inbox::Peer& peer)
{
    if (!hasAlias(peer))
        return;
    // Released by runDeadlines once the grace period is over.
    const auto now = Daemon::Clock::now();
    if (const auto releaseAt = m_aliases.disconnected(peer.user, now)) {
        const auto alias = m_aliases.aliasOf(peer.user);
        m_log.debug(
            "names: " + alias->name + "<03> kept for " +
            std::to_string(std::chrono::ceil<std::chrono::seconds>(*releaseAt - now).count()) +
            " s after its user's last client left");
    }
}
