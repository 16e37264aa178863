#include "service/WorkgroupReception.h"

#include "protocol/MailslotDatagram.h"
#include "protocol/NetworkConfig.h"
#include "protocol/OemDecoder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Enough copies to collapse for any sane sender; a flood of distinct ones only pushes out the
// oldest.
constexpr std::size_t kMaxRemembered = 256;
// Datagrams read per wake-up, so that a flood cannot hold the loop.
constexpr int kMaxReadsPerWake = 64;

NetbiosName nameOf(const std::string& text, std::uint8_t suffix)
{
    return NetbiosName::fromOem(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), suffix);
}

} // namespace

WorkgroupReception::WorkgroupReception(int fd, Options options, MessageSink& sink,
                                       const OemDecoder& decoder, Log log,
                                       std::function<Clock::time_point()> now)
    : m_fd(fd), m_options(std::move(options)), m_sink(sink), m_decoder(decoder),
      m_log(std::move(log)), m_now(std::move(now))
{}

int WorkgroupReception::openSocket(std::uint16_t port, const Log& log)
{
    const int fd = Daemon::bindUdp(port);
    if (fd < 0)
        log.warning("workgroup messages off: cannot bind UDP port " + std::to_string(port) + ": " +
                    std::strerror(errno));
    return fd;
}

bool WorkgroupReception::forUs(bool group, const NetbiosName& destination) const
{
    // The workgroup's <00> group every workstation holds, <03> for tolerance; our own
    // messenger name when sent to this machine alone.
    if (group)
        return destination == nameOf(m_options.workgroup, 0x00) ||
               destination == nameOf(m_options.workgroup, 0x03);
    return destination == nameOf(m_options.computerName, 0x03);
}

bool WorkgroupReception::receive(std::span<const std::uint8_t> datagram,
                                 std::uint32_t sourceAddress)
{
    const auto received = MailslotDatagram::decode(datagram);
    if (!received || !forUs(received->group, received->message.destination))
        return false;
    const auto& message = received->message;
    const Clock::time_point now = m_now();

    while (!m_seen.empty() && now - m_seen.front().at >= m_options.duplicateWindow)
        m_seen.pop_front();
    const bool copy = std::ranges::any_of(m_seen, [&](const Seen& seen) {
        return seen.source == sourceAddress && seen.datagramId == message.datagramId &&
               seen.from == message.from && seen.text == message.text;
    });
    if (copy)
        return false;
    if (m_seen.size() >= kMaxRemembered)
        m_seen.pop_front();
    m_seen.push_back({sourceAddress, message.datagramId, message.from, message.text, now});

    while (!m_accepted.empty() && now - m_accepted.front() >= std::chrono::minutes(1))
        m_accepted.pop_front();
    if (m_options.messagesPerMinute != 0 && m_accepted.size() >= m_options.messagesPerMinute)
        return false;
    m_accepted.push_back(now);

    ReceivedMessage delivered;
    delivered.from = m_decoder.name(message.from);
    const std::string machine = message.sourceName.trimmedName();
    delivered.machine = m_decoder.name(
        std::span(reinterpret_cast<const std::uint8_t*>(machine.data()), machine.size()));
    delivered.address = NetworkConfigParser::dotted(sourceAddress);
    // Shown as sent: the workgroup, with the star that marks a message to all of it.
    delivered.called = received->group ? m_options.workgroup + "*" : m_options.computerName;
    delivered.to = m_decoder.name(message.to) + (received->group ? "*" : "");
    delivered.text = m_decoder.text(message.text);
    delivered.size = message.text.size();
    if (delivered.text.empty()) {
        m_sink.refused(delivered, Verdict::Empty);
        return false;
    }
    return m_sink.deliver(delivered) == Verdict::Accepted;
}

std::vector<int> WorkgroupReception::fds() const
{
    return m_fd >= 0 ? std::vector<int>{m_fd} : std::vector<int>{};
}

void WorkgroupReception::readable(int fd)
{
    std::uint8_t buffer[MailslotDatagram::kMaxDatagramBytes + 1];
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const ssize_t got = ::recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&peer), &size);
        if (got < 0)
            return;
        // A datagram cut by the buffer is larger than any we take.
        if (static_cast<std::size_t>(got) > MailslotDatagram::kMaxDatagramBytes)
            continue;
        receive(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(got)),
                ntohl(peer.sin_addr.s_addr));
    }
}
