#include "service/names/NameService.h"

#include "service/Json.h"
#include "service/names/UdpPortOwners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

msghdr pktinfoMessage(sockaddr_in& address, iovec& io, char (&control)[kPktinfoSpace])
{
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    return message;
}

} // namespace

NameService::NameService(int fd, NameHolder::Settings settings,
                         std::vector<std::string> onlyInterfaces, Aliases::Timing aliasTiming,
                         NameTable& table, Inbox& inbox, Ipv4Interfaces& interfaces, Log log)
    : m_fd(fd), m_onlyInterfaces(std::move(onlyInterfaces)), m_table(table), m_inbox(inbox),
      m_interfaces(interfaces), m_log(log), m_holder(settings, randomTransactionId(), log),
      m_aliases(fd >= 0, table.computerName(), aliasTiming),
      m_computerName(Aliases::messengerName(table.computerName()))
{
    if (m_fd < 0)
        return;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        settings.namePort = ntohs(local.sin_port);
    m_holder = NameHolder(settings, randomTransactionId(), m_log);
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_watch = std::make_unique<LinuxInterfaceWatch>();
}

NameService::~NameService() = default;

int NameService::openSocket(std::uint16_t port, const Log& log)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        log("name service off: cannot bind UDP " + std::to_string(port) + ": " +
            std::strerror(errno) + (errno == EADDRINUSE ? " (nmbd?)" : ""));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

int NameService::exclusive(int fd, const Log& log)
{
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const auto own = UdpPortOwners::inodeOf(fd);
    const auto table = UdpPortOwners::readTable();
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || !own || !table) {
        log("name service off: cannot tell whether another program holds the names port");
        ::close(fd);
        return -1;
    }
    const std::uint16_t port = ntohs(local.sin_port);
    for (const unsigned long inode : UdpPortOwners::inodesOnPort(*table, port)) {
        if (inode != *own) {
            log("name service off: another program (nmbd?) has a socket on UDP " +
                std::to_string(port) +
                "; the computer name is then its to hold (nmbd's 'netbios name'), user aliases "
                "are unavailable");
            ::close(fd);
            return -1;
        }
    }
    log("name service on UDP " + std::to_string(port));
    return fd;
}

void NameService::start()
{
    if (m_fd < 0)
        return;
    const auto now = Daemon::Clock::now();
    rescan(now);
    if (!m_table.computerName().empty())
        m_holder.addName(m_computerName, now);
    flush();
}

void NameService::shutdown()
{
    if (m_fd < 0)
        return;
    m_holder.shutdown();
    flush();
}

std::vector<int> NameService::fds() const
{
    std::vector<int> fds;
    if (m_fd >= 0)
        fds.push_back(m_fd);
    if (m_watch && m_watch->fd() >= 0)
        fds.push_back(m_watch->fd());
    return fds;
}

void NameService::readable(int fd)
{
    const auto now = Daemon::Clock::now();
    if (m_watch && fd == m_watch->fd()) {
        if (m_watch->drain())
            rescan(now);
        flush();
        return;
    }
    for (int i = 0; i < kReadsPerEvent; ++i) {
        std::uint8_t buffer[kMaxDatagram];
        sockaddr_in source{};
        alignas(cmsghdr) char control[kPktinfoSpace];
        iovec io{buffer, sizeof buffer};
        msghdr message = pktinfoMessage(source, io, control);
        const ssize_t got = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
        if (got < 0)
            break;
        if ((message.msg_flags & MSG_TRUNC) != 0 || source.sin_family != AF_INET)
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
    flush();
}

std::optional<Daemon::Clock::time_point> NameService::deadline() const
{
    if (m_fd < 0)
        return std::nullopt;
    auto next = m_nextRescan;
    for (const auto& other : {m_holder.nextDeadline(), m_aliases.nextDeadline()}) {
        if (other)
            next = std::min(next, *other);
    }
    return next;
}

void NameService::runDeadlines(Daemon::Clock::time_point now)
{
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
        if (!m_onlyInterfaces.empty() && std::find(m_onlyInterfaces.begin(), m_onlyInterfaces.end(),
                                                   i.name) == m_onlyInterfaces.end())
            continue;
        interfaces.push_back({i.index, i.name, i.address, i.broadcast, i.loopback});
    }
    if (interfaces == m_current)
        return;
    m_current = interfaces;
    std::string names;
    for (const auto& i : interfaces)
        names += (names.empty() ? "" : ", ") + i.name;
    m_log("names: interfaces " + (names.empty() ? std::string("none") : names));
    m_holder.setInterfaces(interfaces, now);
}

void NameService::flush()
{
    for (const auto& datagram : m_holder.takeOutgoing())
        send(datagram);
    applyChanges(true);
}

// Sessions are accepted for a name only while it is held; users hear of their alias.
void NameService::applyChanges(bool tell)
{
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
        if (tell && m_aliases.computerNameState() != computerBefore) {
            Json::ObjectWriter writer;
            writer.add("type", "computer")
                .add("computer", m_table.computerName())
                .add("computer_state", Aliases::stateText(m_aliases.computerNameState()));
            m_inbox.tellAll(writer.finish());
        }
        for (const std::string& user : users) {
            const auto alias = m_aliases.aliasOf(user);
            if (!tell || !alias)
                continue;
            Json::ObjectWriter writer;
            writer.add("type", "alias")
                .add("alias", alias->name)
                .add("alias_state", Aliases::stateText(alias->state));
            m_inbox.tellUser(user, writer.finish());
        }
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

bool NameService::hasAlias(const Inbox::Peer& peer)
{
    // The account smbd's message command runs as hands messages in; it is nobody's inbox.
    return !(peer.mayHandIn && peer.uid != 0);
}

std::vector<std::pair<std::string, std::string>> NameService::connected(const Inbox::Peer& peer)
{
    std::vector<std::pair<std::string, std::string>> fields{
        {"computer_state", Aliases::stateText(m_aliases.computerNameState())}};
    if (!hasAlias(peer))
        return fields;
    if (const auto name = m_aliases.connected(peer.user, Daemon::Clock::now())) {
        m_holder.addName(*name, Daemon::Clock::now());
        for (const auto& datagram : m_holder.takeOutgoing())
            send(datagram);
        // The client is not listening yet: its hello carries the state.
        applyChanges(false);
    }
    const auto alias = m_aliases.aliasOf(peer.user);
    if (alias->state == Aliases::State::TooLong)
        m_log("names: no alias for " + peer.user + ": longer than 15 bytes");
    fields.emplace_back("alias", alias->name);
    fields.emplace_back("alias_state", Aliases::stateText(alias->state));
    return fields;
}

void NameService::disconnected(const Inbox::Peer& peer)
{
    if (!hasAlias(peer))
        return;
    // Released by runDeadlines once the grace period is over.
    const auto now = Daemon::Clock::now();
    if (const auto releaseAt = m_aliases.disconnected(peer.user, now)) {
        const auto alias = m_aliases.aliasOf(peer.user);
        m_log("names: " + alias->name + "<03> kept for " +
              std::to_string(std::chrono::ceil<std::chrono::seconds>(*releaseAt - now).count()) +
              " s after its user's last client left");
    }
}
