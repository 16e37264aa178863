#include "service/Inbox.h"

#include "protocol/OemDecoder.h"

namespace {

std::string line(Json::ObjectWriter& writer)
{
    return writer.finish() + "\n";
}

std::string refusal(std::string_view reason)
{
    Json::ObjectWriter writer;
    writer.add("type", "refused").add("reason", reason);
    return line(writer);
}

std::string errorLine(std::string_view reason)
{
    Json::ObjectWriter writer;
    writer.add("type", "error").add("reason", reason);
    return line(writer);
}

} // namespace

Inbox::Inbox(std::string computerName, Spool& spool, Log log)
    : m_computerName(std::move(computerName)), m_spool(spool), m_log(std::move(log))
{}

bool Inbox::isFor(const std::string& user, const Peer& peer)
{
    return user.empty() || user == peer.user;
}

// The spool holds the message's fields; the client sees them with the id in front.
std::optional<std::string> Inbox::messageLine(const std::string& id) const
{
    const auto content = m_spool.read(id);
    const auto record = content ? Json::parse(*content) : std::nullopt;
    if (!record || record->type != Json::Value::Type::Object)
        return std::nullopt;
    Json::ObjectWriter writer;
    writer.add("type", "message").add("id", id);
    for (const char* key : {"from", "machine", "address", "called", "to", "received", "text"}) {
        const auto value = record->string(key);
        if (!value)
            return std::nullopt;
        writer.add(key, *value);
    }
    return line(writer);
}

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
    Json::ObjectWriter hello;
    hello.add("type", "hello")
        .add("user", peer.user)
        .add("computer", m_computerName)
        .add("waiting", mine);
    if (m_presence) {
        for (const auto& [key, value] : m_presence->connected(peer))
            hello.add(key, value);
    }
    send(client, line(hello));
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
        if (const auto text = messageLine(next->id)) {
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
    std::size_t start = 0;
    while (true) {
        const auto end = client.input.find('\n', start);
        if (end == std::string::npos)
            break;
        if (end - start > kMaxLine)
            return false;
        handle(client, std::string_view(client.input).substr(start, end - start));
        start = end + 1;
    }
    client.input.erase(0, start);
    return client.input.size() <= kMaxLine;
}

void Inbox::handle(Client& client, std::string_view text)
{
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    if (text.empty())
        return;
    const auto request = Json::parse(text);
    const auto type = request ? request->string("type") : std::nullopt;
    if (!type || request->type != Json::Value::Type::Object) {
        send(client, errorLine("not a JSON object with a type"));
        return;
    }
    if (*type == "ack") {
        const auto id = request->string("id");
        const std::string* user = id ? m_spool.userOf(*id) : nullptr;
        if (!user || !isFor(*user, client.peer)) {
            send(client, errorLine("no such message"));
            return;
        }
        m_spool.remove(*id);
        return;
    }
    if (*type == "deliver") {
        handIn(client, *request);
        return;
    }
    send(client, errorLine("unknown type"));
}

void Inbox::handIn(Client& client, const Json::Value& request)
{
    if (!client.peer.mayHandIn || !m_handIns) {
        m_log.warning("hand-in refused: uid " + std::to_string(client.peer.uid) +
                      " may not hand in");
        send(client, refusal("not allowed"));
        return;
    }
    const auto from = request.string("from");
    const auto machine = request.string("machine");
    const auto text = request.string("text");
    if (!from || !machine || !text) {
        send(client, refusal("from, machine and text are needed"));
        return;
    }
    ReceivedMessage message;
    message.from = Utf8::name(*from);
    message.machine = Utf8::name(*machine);
    message.called = m_computerName;
    message.size = text->size();
    message.text = Utf8::normalisedText(*text);
    Verdict verdict = Verdict::Accepted;
    if (Utf8::codePoints(*text) > kMaxTextCharacters)
        verdict = Verdict::TooLong;
    else if (message.text.empty())
        verdict = Verdict::Empty;
    if (verdict != Verdict::Accepted) {
        m_handIns->refused(message, verdict);
    } else {
        const Verdict admitted = m_handIns->admit(message);
        verdict = admitted == Verdict::Accepted ? m_handIns->deliver(message) : admitted;
    }
    if (verdict == Verdict::Accepted) {
        Json::ObjectWriter writer;
        writer.add("type", "delivered");
        send(client, line(writer));
    } else {
        send(client, refusal(verdictName(verdict)));
    }
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
    const auto found = m_clients.find(id);
    return found != m_clients.end() && !found->second.output.empty();
}

bool Inbox::overflowing(ClientId id) const
{
    const auto found = m_clients.find(id);
    return found != m_clients.end() && found->second.output.size() > kMaxOutput;
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

void Inbox::tellAll(const std::string& object)
{
    for (auto& [id, client] : m_clients)
        send(client, object + "\n");
}

void Inbox::tellUser(const std::string& user, const std::string& object)
{
    for (auto& [id, client] : m_clients) {
        if (client.peer.user == user)
            send(client, object + "\n");
    }
}
