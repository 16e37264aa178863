#pragma once

#include "service/MessageSink.h"
#include "service/NameTable.h"

#include "protocol/FrameReader.h"
#include "protocol/OemDecoder.h"
#include "protocol/SmbServerMessage.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One TCP connection of the session service, fed with the bytes that arrive and the time, and
// answering with the bytes to send. No sockets: the event loop moves the bytes.
//
// A connection opens with a SESSION REQUEST called to one of our names; then any number of
// messages follow (0xD0, or 0xD5 0xD7... 0xD6). Keep-alives are dropped and do not count as
// activity; a connection silent for the idle time, or a message not ended in time, is closed.
class SessionMachine
{
public:
    using Clock = std::chrono::steady_clock;

    struct Limits
    {
        std::chrono::milliseconds idle{30'000};
        std::chrono::milliseconds message{60'000};
        std::size_t maxTextBytes = 4095;
        std::size_t maxFrame = 16 * 1024;
    };

    struct Output
    {
        std::vector<std::uint8_t> bytes;
        bool close = false; // after sending bytes
    };

    // refuseWith: answer the session request with NEGATIVE (code) and close, for a connection
    // beyond the session limits.
    SessionMachine(const NameTable& names, MessageSink& sink, const OemDecoder& decoder,
                   std::string peerAddress, Limits limits, Clock::time_point now,
                   std::optional<std::uint8_t> refuseWith = std::nullopt);

    // Where the session arrived (this machine's address, dotted), for the called-name check.
    void setLocalAddress(std::string address) { m_local = std::move(address); }

    Output receive(std::span<const std::uint8_t> bytes, Clock::time_point now);
    // True while an END waits for its message to become durable; input is buffered meanwhile.
    bool awaitingDelivery() const { return m_awaiting.has_value(); }
    // The sink's ticket for the awaited message; empty when none is awaited.
    const std::string& awaitedTicket() const { return m_ticket; }
    // The sink's final verdict for the awaited message: answers it and goes on with the input.
    Output resume(Verdict verdict, Clock::time_point now);
    // The peer closed its side: an unfinished message is dropped.
    void peerClosed();
    // Closes when a deadline has passed.
    Output tick(Clock::time_point now);
    Clock::time_point deadline() const;
    bool closed() const { return m_state == State::Closed; }

private:
    enum class State
    {
        AwaitRequest,
        Established,
        Closed
    };

    struct Pending
    {
        ReceivedMessage message;
        std::vector<std::uint8_t> text;
        bool tooLong = false;
        Clock::time_point started;
    };

    void handleRequest(const SessionFrame& frame, Output& out);
    void handleSmb(const SessionFrame& frame, Output& out);
    void reply(Output& out, std::vector<std::uint8_t> smb);
    void finish(const SmbServerMessage::Request& request, Output& out);
    void answer(const SmbServerMessage::Request& request, Verdict verdict, Output& out);
    void process(Output& out, Clock::time_point now);
    ReceivedMessage header(std::span<const std::uint8_t> from,
                           std::span<const std::uint8_t> to) const;
    void close(Output& out);

    const NameTable& m_names;
    MessageSink& m_sink;
    const OemDecoder& m_decoder;
    std::string m_peer;
    std::string m_local;
    Limits m_limits;
    std::optional<std::uint8_t> m_refuseWith;
    FrameReader m_frames;
    State m_state = State::AwaitRequest;
    Clock::time_point m_lastActivity; // of the request or a message's progress
    Clock::time_point m_now;          // of the frame being handled
    std::string m_called;
    std::string m_machine;
    std::string m_user;
    std::optional<Pending> m_pending;
    std::uint16_t m_group = 1;
    std::optional<SmbServerMessage::Request> m_awaiting;
    std::string m_ticket;
};
