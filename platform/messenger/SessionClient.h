#pragma once

#include "platform/messenger/AddressPolicy.h"
#include "protocol/NetbiosName.h"

#include <chrono>
#include <cstdint>
#include <span>

struct SessionTimeouts
{
    std::chrono::milliseconds connect{5000};
    std::chrono::milliseconds reply{10000}; // for the session response and for each SMB reply
};

// The text an outgoing message carries, already in OEM bytes.
struct OutgoingMessage
{
    NetbiosName called;  // recipient NAME<03>
    NetbiosName calling; // this machine NAME<00>
    std::span<const std::uint8_t> from;
    std::span<const std::uint8_t> to;
    std::span<const std::uint8_t> text;
};

// Opens a session to the receiver and hands over one message with 0xD5, 0xD7 blocks and 0xD6,
// each answered before the next goes out. Returns the program's send result code.
class SessionClient
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kMaxRetargets = 4;           // RFC 1002 SSN_RETRY_COUNT
    static constexpr std::size_t kMaxFrameBody = 512; // our replies need at most 39 bytes

    // Retargets are followed only where policy allows.
    SessionClient(SessionTimeouts timeouts, AddressPolicy policy)
        : m_timeouts(timeouts), m_policy(std::move(policy))
    {}

    // Every step also ends by sendDeadline, and a send cut short by it reports 2136.
    std::int32_t deliver(std::uint32_t address, std::uint16_t port, const OutgoingMessage& message,
                         Clock::time_point sendDeadline = Clock::time_point::max()) const;

    // The code for a failed connect, by its errno.
    static std::int32_t codeForConnectError(int error);

private:
    SessionTimeouts m_timeouts;
    AddressPolicy m_policy;
};
