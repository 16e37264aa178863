#include "service/SessionMachine.h"

#include "protocol/SessionPacket.h"
#include "protocol/SessionServerPacket.h"

#include <algorithm>
#include <iterator>

namespace {

namespace Smb = SmbServerMessage;

// The error reply a refused message gets (MS-CIFS 2.2.2.4 names).
struct ErrorCode
{
    std::uint8_t errorClass;
    std::uint16_t code;
};

ErrorCode errorFor(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Empty:
        return {Smb::kErrDos, Smb::kErrInvalidParam};
    case Verdict::Blocked:
        return {Smb::kErrSrv, Smb::kErrMsgOff};
    case Verdict::TooLong:
    case Verdict::RateLimited:
    case Verdict::SpoolFull:
        return {Smb::kErrSrv, Smb::kErrNoRoom};
    case Verdict::Accepted:
    case Verdict::Failed:
    case Verdict::TimedOut:
    case Verdict::Pending:
        break;
    }
    return {Smb::kErrSrv, Smb::kErrSrvError};
}

bool allNul(std::span<const std::uint8_t> bytes)
{
    return std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0; });
}

} // namespace

const char* verdictName(Verdict verdict)
{
    // In the order Verdict lists them.
    static const char* const names[] = {
        "delivered",           "refused-too-long",   "refused-empty",
        "refused-blocked",     "refused-rate-limit", "refused-spool-full",
        "refused-spool-error", "dropped-timed-out",  "pending"};
    static_assert(std::size(names) == std::size_t(Verdict::Pending) + 1);
    return names[std::size_t(verdict)];
}

SessionMachine::SessionMachine(const NameTable& names, MessageSink& sink, const OemDecoder& decoder,
                               std::string peerAddress, Limits limits, Clock::time_point now,
                               std::optional<std::uint8_t> refuseWith)
    : m_names(names), m_sink(sink), m_decoder(decoder), m_peer(std::move(peerAddress)),
      m_limits(limits), m_refuseWith(refuseWith), m_frames(limits.maxFrame), m_lastActivity(now)
{}

SessionMachine::Output SessionMachine::receive(std::span<const std::uint8_t> bytes,
                                               Clock::time_point now)
{
    Output out;
    if (m_state == State::Closed)
        return out;
    m_frames.append(bytes);
    process(out, now);
    return out;
}

SessionMachine::Output SessionMachine::resume(Verdict verdict, Clock::time_point now)
{
    Output out;
    if (!m_awaiting || m_state == State::Closed)
        return out;
    const Smb::Request request = std::move(*m_awaiting);
    m_awaiting.reset();
    m_ticket.clear();
    m_lastActivity = now; // the wait for the disk is not the sender's idleness
    answer(request, verdict, out);
    process(out, now);
    return out;
}

void SessionMachine::process(Output& out, Clock::time_point now)
{
    SessionFrame frame;
    while (m_state != State::Closed && !m_awaiting) {
        const FrameReader::Status status = m_frames.next(frame);
        if (status == FrameReader::Status::NeedMore)
            break;
        if (status != FrameReader::Status::Frame) {
            close(out); // malformed header or a length beyond any message
            break;
        }
        if (frame.type == SessionServerPacket::kKeepAliveRequest) {
            const auto alive = SessionServerPacket::encodeKeepAlive();
            out.bytes.insert(out.bytes.end(), alive.begin(), alive.end());
            continue;
        }
        // Only a message's progress keeps a session: anything else cannot hold a place.
        m_now = now;
        if (m_state == State::AwaitRequest) {
            m_lastActivity = now;
            handleRequest(frame, out);
        } else {
            handleSmb(frame, out);
        }
    }
}

void SessionMachine::handleRequest(const SessionFrame& frame, Output& out)
{
    namespace S = SessionServerPacket;
    const bool isRequest = frame.type == SessionPacket::kRequest;
    const auto request =
        isRequest && !m_refuseWith ? S::decodeSessionRequest(frame.body) : std::nullopt;
    const auto recipient = request ? m_names.find(request->called, m_local) : std::nullopt;
    if (!recipient) {
        // Not a request (answered as Windows answers it), refused for room, or not our name.
        const auto refusal = S::encodeNegativeResponse(!isRequest     ? S::kUnspecifiedError
                                                       : m_refuseWith ? *m_refuseWith
                                                                      : S::kCalledNameNotPresent);
        out.bytes.insert(out.bytes.end(), refusal.begin(), refusal.end());
        close(out);
        return;
    }
    const auto name = [&](const NetbiosName& n) {
        const std::string trimmed = n.trimmedName();
        return m_decoder.name(
            std::span(reinterpret_cast<const std::uint8_t*>(trimmed.data()), trimmed.size()));
    };
    m_called = name(request->called);
    m_machine = name(request->calling);
    m_user = recipient->user;
    m_state = State::Established;
    const auto accepted = S::encodePositiveResponse();
    out.bytes.insert(out.bytes.end(), accepted.begin(), accepted.end());
}

ReceivedMessage SessionMachine::header(std::span<const std::uint8_t> from,
                                       std::span<const std::uint8_t> to) const
{
    ReceivedMessage message;
    message.from = m_decoder.name(from);
    message.to = m_decoder.name(to);
    message.machine = m_machine;
    message.address = m_peer;
    message.called = m_called;
    message.user = m_user;
    return message;
}

void SessionMachine::reply(Output& out, std::vector<std::uint8_t> smb)
{
    const auto frame = SessionPacket::encodeSessionMessage(smb);
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
}

void SessionMachine::handleSmb(const SessionFrame& frame, Output& out)
{
    // Session responses, a second request or an empty message: not a message sender.
    if (frame.type != SessionPacket::kMessage || frame.body.empty()) {
        close(out);
        return;
    }
    const auto request = Smb::decodeRequest(frame.body);
    if (!request) {
        close(out);
        return;
    }
    const auto error = [&](ErrorCode code) {
        reply(out, Smb::encodeErrorReply(*request, code.errorClass, code.code));
    };
    // What does not decode is a server error; text or end with no message begun, a bad parameter.
    const auto usable = [&](bool decoded, bool inTurn = true) {
        if (!decoded || !inTurn)
            error(decoded ? ErrorCode{Smb::kErrDos, Smb::kErrInvalidParam}
                          : ErrorCode{Smb::kErrSrv, Smb::kErrError});
        return decoded && inTurn;
    };

    switch (request->command) {
    case Smb::kSend: {
        const auto send = Smb::decodeSend(*request);
        if (!usable(send.has_value()))
            return;
        m_pending.reset(); // a single block ends any unfinished message
        m_lastActivity = m_now;
        m_pending = Pending{header(send->from, send->to), send->data,
                            send->data.size() > m_limits.maxTextBytes, m_now};
        finish(*request, out);
        return;
    }
    case Smb::kStart: {
        const auto start = Smb::decodeStart(*request);
        if (!usable(start.has_value()))
            return;
        // A new start drops an unfinished message, as Samba does.
        m_pending.reset();
        ReceivedMessage message = header(start->from, start->to);
        const Verdict admitted = m_sink.admit(message);
        if (admitted != Verdict::Accepted) {
            error(errorFor(admitted));
            return;
        }
        m_lastActivity = m_now;
        m_pending = Pending{std::move(message), {}, false, m_now};
        const std::uint16_t group[] = {m_group};
        reply(out, Smb::encodeReply(*request, group));
        return;
    }
    case Smb::kText: {
        const auto text = Smb::decodeText(*request);
        if (!usable(text.has_value(), m_pending.has_value()))
            return;
        if (m_pending->text.size() + text->data.size() > m_limits.maxTextBytes) {
            // Never cut a message: refuse it whole, and keep nothing of it.
            m_pending->message.size = m_pending->text.size() + text->data.size();
            m_sink.refused(m_pending->message, Verdict::TooLong);
            m_pending.reset();
            error(errorFor(Verdict::TooLong));
            return;
        }
        m_lastActivity = m_now;
        m_pending->text.insert(m_pending->text.end(), text->data.begin(), text->data.end());
        reply(out, Smb::encodeReply(*request));
        return;
    }
    case Smb::kEnd:
        if (usable(Smb::decodeEnd(*request).has_value(), m_pending.has_value()))
            finish(*request, out);
        return;
    default:
        error({Smb::kErrSrv, Smb::kErrSmbCmd});
        return;
    }
}

void SessionMachine::finish(const Smb::Request& request, Output& out)
{
    Pending pending = std::move(*m_pending);
    m_pending.reset();
    m_lastActivity = m_now;
    ReceivedMessage& message = pending.message;
    message.size = pending.text.size();
    Verdict verdict = pending.tooLong        ? Verdict::TooLong
                      : allNul(pending.text) ? Verdict::Empty
                                             : Verdict::Accepted;
    if (verdict != Verdict::Accepted) {
        m_sink.refused(message, verdict);
    } else {
        message.text = m_decoder.text(pending.text);
        verdict = m_sink.deliverLater(message, m_ticket);
    }
    if (verdict == Verdict::Pending) {
        m_awaiting = request; // answered by resume()
        return;
    }
    m_ticket.clear();
    answer(request, verdict, out);
}

void SessionMachine::answer(const Smb::Request& request, Verdict verdict, Output& out)
{
    const ErrorCode error = errorFor(verdict);
    reply(out, verdict == Verdict::Accepted
                   ? Smb::encodeReply(request)
                   : Smb::encodeErrorReply(request, error.errorClass, error.code));
}

void SessionMachine::peerClosed()
{
    Output unsent;
    close(unsent);
}

SessionMachine::Output SessionMachine::tick(Clock::time_point now)
{
    Output out;
    if (m_state != State::Closed && now >= deadline()) {
        // An unfinished message is dropped whichever limit ends it, and says so once.
        if (m_pending) {
            m_pending->message.size = m_pending->text.size();
            m_sink.refused(m_pending->message, Verdict::TimedOut);
        }
        close(out);
    }
    return out;
}

SessionMachine::Clock::time_point SessionMachine::deadline() const
{
    // Waiting for the disk is not the sender's doing.
    if (m_awaiting)
        return Clock::time_point::max();
    Clock::time_point at = m_lastActivity + m_limits.idle;
    if (m_pending)
        at = std::min(at, m_pending->started + m_limits.message);
    return at;
}

void SessionMachine::close(Output& out)
{
    m_pending.reset();
    m_awaiting.reset();
    m_ticket.clear();
    m_state = State::Closed;
    out.close = true;
}
