#pragma once

#include "protocol/local/LocalProtocol.h"
#include "service/Log.h"
#include "service/MessageSink.h"
#include "service/Spool.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The local side of delivery: clients on the Unix socket, one JSON object per line (see
// docs/local-socket.md). No sockets here: the event loop passes bytes in and out.
//
// Waiting messages go to each client of their user as it connects, in arrival order, and new
// ones to every such client as they arrive; messages to the computer name are every user's. A
// message leaves the spool once one client it was for acknowledges it. The spool is the list
// of waiting messages: their texts are read from it as they are handed out.
class Inbox
{
public:
    using ClientId = std::uint64_t;

    // Waiting messages are copied into a client's output a chunk at a time, as it reads; only
    // answers to its own requests can pile up beyond, up to kMaxOutput. A chunk is read from
    // the spool within one turn of the loop, so it stays small: senders wait for the turn.
    static constexpr std::size_t kOutputChunk = 8 * 1024;
    static constexpr std::size_t kMaxOutput = 1024 * 1024;

    struct Peer
    {
        uid_t uid = 0;
        std::string user;
        bool mayHandIn = false;
    };

    Inbox(std::string computerName, Spool& spool, Log log);

    // Where vorelin-deliver's hand-ins go.
    void setHandInSink(MessageSink* sink) { m_handIns = sink; }

    // A message the spool just stored.
    void announce(const std::string& id);

    ClientId connect(const Peer& peer);
    // Bytes from the client. False when the client broke the protocol and is to be dropped.
    bool receive(ClientId client, std::string_view bytes);
    // The next bytes to send to the client: answers, then messages in arrival order, about a
    // chunk at a time.
    std::string takeOutput(ClientId client);
    bool hasOutput(ClientId client) const;
    // True when the client stopped reading while its answers passed kMaxOutput.
    bool overflowing(ClientId client) const;
    void disconnect(ClientId client);

    std::size_t waitingCount() const { return m_spool.count(); }

    // Name-service hook: told when a local client comes and goes; connected() says in the
    // client's hello where the names stand.
    class Presence
    {
    public:
        virtual ~Presence() = default;
        virtual void connected(const Peer& peer, LocalProtocol::Hello& hello) = 0;
        virtual void disconnected(const Peer& peer) = 0;
    };
    void setPresence(Presence* presence) { m_presence = presence; }
    // One encoded line to every client of user, or to every client.
    void tellUser(const std::string& user, const std::string& line);
    void tellAll(const std::string& line);

private:
    struct Client
    {
        Peer peer;
        LocalProtocol::LineReader input;
        std::string output;
        std::string sentUpTo; // the last message id considered for this client
    };

    void send(Client& client, const std::string& line);
    void refill(Client& client);
    void handle(Client& client, std::string_view line);
    void handIn(Client& client, const LocalProtocol::Deliver& request);

    std::string m_computerName;
    Spool& m_spool;
    Log m_log;
    MessageSink* m_handIns = nullptr;
    Presence* m_presence = nullptr;
    std::map<ClientId, Client> m_clients;
    ClientId m_nextClient = 1;
};
