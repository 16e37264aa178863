#include "service/Inbox.h"

#include "protocol/OemDecoder.h"

#include <utility>

namespace Wire = LocalProtocol;

// user empty: every user's.
static bool isFor(const std::string& user, const Inbox::Peer& peer)
{
    return user.empty() || user == peer.user;
}

Inbox::Inbox(std::string computerName, Spool& spool, Log log)
    : m_computerName(std::move(computerName)), m_spool(spool), m_log(std::move(log))
{}

void Inbox::announce(const std::string&)
{
    // Clients that are behind get it when they have read the messages before it.
    for (auto& [clientId, client] : m_clients)
        refill(client);
}

Inbox::ClientId Inbox::connect(const Peer& peer)
{
    const ClientId id = m_nextClient++;
    Client& client = m_clients[id];
    client.peer = peer;
    const std::uint64_t mine = m_spool.countFor(peer.user);
    Wire::Hello hello{peer.user, m_computerName, mine, {}, {}, {}};
    if (m_presence)
        m_presence->connected(peer, hello);
    send(client, Wire::encode(hello));
    refill(client);
    return id;
}

void Inbox::send(Client& client, const std::string& text)
{
    // Past the cap the client is dropped (overflowing()); keep the buffer from growing further.
    if (client.output.size() <= kMaxOutput)
        client.output += text;
}

void Inbox::refill(Client& client)
{
    while (client.output.size() < kOutputChunk) {
        const auto next = m_spool.next(client.sentUpTo);
        if (!next)
            break;
        client.sentUpTo = next->id;
        if (!isFor(*next->user, client.peer))
            continue;
        const auto record = m_spool.read(next->id);
        if (const auto text = record ? Wire::handOut(*record, next->id) : std::nullopt) {
            client.output += *text;
        } else {
            m_log.warning("spool: " + next->id + " is unreadable, removed");
            m_spool.remove(next->id);
        }
    }
}

bool Inbox::receive(ClientId id, std::string_view bytes)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return false;
    Client& client = found->second;
    client.input.append(bytes);
    while (const auto text = client.input.nextLine())
        handle(client, *text);
    return !client.input.failed();
}

void Inbox::handle(Client& client, std::string_view text)
{
    if (text.empty())
        return;
    const Wire::Line request = Wire::decode(text);
    if (std::holds_alternative<Wire::Malformed>(request)) {
        send(client, Wire::encode(Wire::Error{"not a JSON object with a type"}));
        return;
    }
    if (const auto* ack = std::get_if<Wire::Ack>(&request)) {
        const std::string* user = m_spool.userOf(ack->id);
        if (user && isFor(*user, client.peer))
            m_spool.remove(ack->id);
        else
            send(client, Wire::encode(Wire::Error{"no such message"}));
        return;
    }
    if (const auto* deliver = std::get_if<Wire::Deliver>(&request)) {
        handIn(client, *deliver);
        return;
    }
    send(client, Wire::encode(Wire::Error{"unknown type"}));
}

void Inbox::handIn(Client& client, const Wire::Deliver& request)
{
    if (!client.peer.mayHandIn || !m_handIns) {
        m_log.warning("hand-in refused: uid " + std::to_string(client.peer.uid) +
                      " may not hand in");
        send(client, Wire::encode(Wire::Refused{"not allowed"}));
        return;
    }
    if (!request.whole) {
        send(client, Wire::encode(Wire::Refused{"from, machine and text are needed"}));
        return;
    }
    ReceivedMessage message;
    message.from = Utf8::name(request.from);
    message.machine = Utf8::name(request.machine);
    message.called = m_computerName;
    message.size = request.text.size();
    message.text = Utf8::normalisedText(request.text);
    Verdict verdict = Utf8::codePoints(request.text) > Wire::kMaxTextCharacters ? Verdict::TooLong
                      : message.text.empty()                                    ? Verdict::Empty
                                                                                : Verdict::Accepted;
    if (verdict != Verdict::Accepted)
        m_handIns->refused(message, verdict);
    else
        verdict = m_handIns->admit(message);
    if (verdict == Verdict::Accepted)
        verdict = m_handIns->deliver(message);
    send(client, Wire::encode(verdict == Verdict::Accepted ? Wire::Line(Wire::Delivered{})
                                                           : Wire::Refused{verdictName(verdict)}));
}

std::string Inbox::takeOutput(ClientId id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return {};
    std::string out = std::exchange(found->second.output, {});
    refill(found->second);
    return out;
}

bool Inbox::hasOutput(ClientId id) const
{
    return m_clients.contains(id) && !m_clients.at(id).output.empty();
}

bool Inbox::overflowing(ClientId id) const
{
    return m_clients.contains(id) && m_clients.at(id).output.size() > kMaxOutput;
}

void Inbox::disconnect(ClientId id)
{
    const auto found = m_clients.find(id);
    if (found == m_clients.end())
        return;
    const Peer peer = found->second.peer;
    m_clients.erase(found);
    if (m_presence)
        m_presence->disconnected(peer);
}

void Inbox::tellAll(const std::string& line)
{
    for (auto& [id, client] : m_clients)
        send(client, line);
}

void Inbox::tellUser(const std::string& user, const std::string& line)
{
    for (auto& [id, client] : m_clients)
        if (client.peer.user == user)
            send(client, line);
}
