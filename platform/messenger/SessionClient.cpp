#include "platform/messenger/SessionClient.h"

#include "platform/messenger/MessengerResult.h"
#include "platform/messenger/TcpConnection.h"
#include "protocol/SessionPacket.h"
#include "protocol/SmbMessage.h"

#include <algorithm>

namespace {

using namespace MessengerResult;

constexpr std::uint8_t kErrDos = 0x01;
constexpr std::uint8_t kErrSrv = 0x02;
constexpr std::uint8_t kCalledNameNotPresent = 0x82;

std::int32_t codeForConnect(TcpConnection::ConnectResult result)
{
    switch (result) {
    case TcpConnection::ConnectResult::Connected:
        return kSuccess;
    // A host that is off or absent (no ARP answer) is as much "not found" as a silent one.
    case TcpConnection::ConnectResult::Refused:
    case TcpConnection::ConnectResult::TimedOut:
    case TcpConnection::ConnectResult::HostUnreachable:
        return kNameNotFound;
    case TcpConnection::ConnectResult::Unreachable:
        return kUseNotFound;
    case TcpConnection::ConnectResult::Failed:
        break;
    }
    return kNetworkError;
}

// SMB errors in DOS form (MS-CIFS 2.2.2.4), and the NT statuses a receiver would send for the
// same conditions.
std::int32_t codeForStatus(const SmbMessage::Status& status)
{
    if (status.errorClass == kErrDos) {
        switch (status.errorCode) {
        case 5:  // ERRnoaccess
        case 71: // the receiver takes no messages (Samba without a message command)
            return kAccessDenied;
        }
    } else if (status.errorClass == kErrSrv) {
        switch (status.errorCode) {
        case 4:  // ERRaccess
        case 81: // ERRpaused
        case 82: // ERRmsgoff
            return kAccessDenied;
        case 22:     // unknown SMB
        case 64:     // ERRsmbcmd
        case 0xFFFF: // ERRnosupport
            return kNotSupported;
        }
    } else if (status.errorClass == 0) {
        switch (status.ntStatus) {
        case 0xC0000022: // STATUS_ACCESS_DENIED
        case 0xC00000CA: // STATUS_NETWORK_ACCESS_DENIED
        case 0xC00000CF: // STATUS_SHARING_PAUSED
        case 0xC00000D0: // STATUS_REQUEST_NOT_ACCEPTED
            return kAccessDenied;
        case 0xC00000BB: // STATUS_NOT_SUPPORTED
            return kNotSupported;
        }
    }
    return kNetworkError;
}

// One SMB request and its reply on an open session.
class Exchange
{
public:
    Exchange(TcpConnection& connection, std::chrono::milliseconds replyTimeout,
             TcpConnection::Clock::time_point sendDeadline)
        : m_connection(connection), m_replyTimeout(replyTimeout), m_sendDeadline(sendDeadline)
    {}

    // The words of a successful reply, or the failure code.
    std::int32_t run(std::uint8_t command, const std::vector<std::uint8_t>& smb,
                     std::vector<std::uint16_t>& words)
    {
        const std::uint16_t mid = m_nextMid;
        // Past the limit nothing more goes out: a message whose end was not sent is not shown.
        if (TcpConnection::Clock::now() >= m_sendDeadline)
            return kNetworkError;
        const auto deadline =
            std::min(TcpConnection::Clock::now() + m_replyTimeout, m_sendDeadline);
        SessionFrame reply;
        auto io = m_connection.sendAll(SessionPacket::encodeSessionMessage(smb), deadline);
        if (io == TcpConnection::IoResult::Ok)
            io = m_connection.readFrame(reply, deadline);
        if (io != TcpConnection::IoResult::Ok)
            return failure(io);
        if (reply.type != SessionPacket::kMessage)
            return kNetworkError;
        const auto decoded = SmbMessage::decodeReply(reply.body);
        if (!decoded || decoded->command != command || decoded->mid != mid)
            return kNetworkError;
        m_answered = true;
        ++m_nextMid;
        if (!decoded->status.isSuccess())
            return codeForStatus(decoded->status);
        words = decoded->words;
        return kSuccess;
    }

    std::uint16_t nextMid() const { return m_nextMid; }

private:
    // A receiver that takes the session but drops the connection at the first message
    // command does not speak SMB1 (Samba 4.11 and later by default).
    std::int32_t failure(TcpConnection::IoResult result) const
    {
        const bool dropped =
            result == TcpConnection::IoResult::Closed || result == TcpConnection::IoResult::Reset;
        return dropped && !m_answered ? kNotSupported : kNetworkError;
    }

    TcpConnection& m_connection;
    std::chrono::milliseconds m_replyTimeout;
    TcpConnection::Clock::time_point m_sendDeadline;
    std::uint16_t m_nextMid = 1;
    bool m_answered = false;
};

} // namespace

std::int32_t SessionClient::codeForConnectError(int error)
{
    return codeForConnect(TcpConnection::connectResultFor(error));
}

std::int32_t SessionClient::deliver(std::uint32_t address, std::uint16_t port,
                                    const OutgoingMessage& message,
                                    Clock::time_point sendDeadline) const
{
    TcpConnection connection(kMaxFrameBody);
    const auto request = SessionPacket::encodeSessionRequest(message.called, message.calling);
    for (int retargets = 0;; ++retargets) {
        const auto connectDeadline = std::min(Clock::now() + m_timeouts.connect, sendDeadline);
        const std::int32_t connected =
            codeForConnect(connection.connect(address, port, connectDeadline));
        if (connected != kSuccess)
            return Clock::now() >= sendDeadline ? kNetworkError : connected;

        const auto deadline = std::min(Clock::now() + m_timeouts.reply, sendDeadline);
        SessionFrame frame;
        if (connection.sendAll(request, deadline) != TcpConnection::IoResult::Ok ||
            connection.readFrame(frame, deadline) != TcpConnection::IoResult::Ok)
            return kNetworkError;
        const auto response = SessionPacket::decodeResponse(frame.type, frame.body);
        if (!response)
            return kNetworkError;
        if (response->kind == SessionPacket::Response::Kind::Positive)
            break;
        if (response->kind == SessionPacket::Response::Kind::Negative)
            return response->error == kCalledNameNotPresent ? kNameNotFound : kNetworkError;
        if (retargets == kMaxRetargets ||
            !m_policy.mayFollowRetarget(address, response->address, response->port))
            return kNetworkError;
        address = response->address;
        port = response->port;
    }

    Exchange exchange(connection, m_timeouts.reply, sendDeadline);
    std::vector<std::uint16_t> words;
    std::int32_t code =
        exchange.run(SmbMessage::kStart,
                     SmbMessage::encodeStart(message.from, message.to, exchange.nextMid()), words);
    if (code != kSuccess)
        return code;
    // Samba answers without the group word; Windows sends one.
    const std::uint16_t group = words.empty() ? 0 : words.front();

    for (std::size_t offset = 0; offset < message.text.size(); offset += SmbMessage::kMaxBlock) {
        const auto block = message.text.subspan(
            offset, std::min(SmbMessage::kMaxBlock, message.text.size() - offset));
        code = exchange.run(SmbMessage::kText,
                            SmbMessage::encodeText(group, block, exchange.nextMid()), words);
        if (code != kSuccess)
            return code;
    }
    return exchange.run(SmbMessage::kEnd, SmbMessage::encodeEnd(group, exchange.nextMid()), words);
}
