#pragma once

#include "protocol/NetbiosName.h"
#include "service/Log.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Holds this machine's NetBIOS names on the LAN as a broadcast end node (RFC 1002 5.1.1): per
// name and per interface it registers, then answers queries and node status, defends against
// other claimants and releases. It only decides: datagrams come in with their source and arrival
// interface, and go out as a queue with their destination, so the socket loop stays thin and
// everything here is testable without a network. Addresses are IPv4 in host byte order.
class NameHolder
{
public:
    using Clock = std::chrono::steady_clock;
    using Log = ::Log;

    struct Interface
    {
        int index = 0;
        std::string name;
        std::uint32_t address = 0;
        std::uint32_t broadcast = 0; // only for interfaces that have one
        bool loopback = false;

        bool operator==(const Interface&) const = default;
    };

    struct Datagram
    {
        int interfaceIndex = 0;
        std::uint32_t source = 0; // the interface address to send from
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        std::vector<std::uint8_t> bytes;
    };

    struct Settings
    {
        std::uint16_t namePort = 137; // where registrations and releases are broadcast
        std::chrono::milliseconds retryInterval{500};
        int registrationSends = 3;
        std::chrono::milliseconds defenceWindow{1000}; // after the last send
        std::uint32_t answerTtl = 300000;
        // A name lost to a conflict is claimed again after this, doubling up to the maximum.
        std::chrono::milliseconds conflictRetry{std::chrono::minutes(5)};
        std::chrono::milliseconds conflictRetryMax{std::chrono::hours(1)};
        // Answers and defences together, all askers: what a flood can make us reflect.
        int answersPerSecond = 100;
        // Of those, this many are kept for defences only.
        int defenceReserve = 10;
        // Each asker in the source table has its own budget; askers that find the table full
        // share one pool, so that random spoofed sources cannot take everyone's answers.
        int answersPerSource = 5;
        int sharedAnswersPerSecond = 20;
        std::size_t maxSources = 256;
        // An asker seen within this time keeps its place in a full table.
        std::chrono::milliseconds sourceKeep{10'000};
        std::size_t maxQueuedDatagrams = 256;

        // WINS servers (H-node): each name is also registered with them by unicast, from the
        // first interface's address, asked in turn until one answers.
        std::vector<std::uint32_t> winsServers;
        std::uint32_t winsTtl = 300000; // asked for; the server grants what it will
        std::chrono::milliseconds winsRetryInterval{1500};
        int winsSends = 3;
        // Refresh this often; nothing: half the granted TTL, at most 20 minutes.
        std::optional<std::chrono::milliseconds> winsRefreshInterval;
        // A WACK asks to wait its TTL; never longer than this.
        std::chrono::milliseconds winsMaxWait{std::chrono::minutes(2)};
    };

    // Per name and interface (State), and per name over all interfaces as clients are told
    // (Status): conflict anywhere wins, then pending anywhere; a machine with no broadcast
    // interface holds its names on loopback alone.
    enum class Status
    {
        Pending,
        Held,
        Conflict
    };
    using State = Status;
    struct Change
    {
        NetbiosName name;
        Status status;
    };

    NameHolder(Settings settings, std::uint16_t firstTransactionId, Log log);

    // The interfaces as they are now: new ones and those whose address or broadcast address
    // changed (re)register every name; gone ones are forgotten. Interfaces that are neither
    // loopback nor have a broadcast address are ignored.
    void setInterfaces(const std::vector<Interface>& interfaces, Clock::time_point now);

    // Node status lists the names in the order they were added: the computer name first, as
    // Windows and nmbd do, since a sender given an address calls the first it can.
    void addName(const NetbiosName& name, Clock::time_point now);
    // Broadcasts the release where the name was held, and forgets it.
    void removeName(const NetbiosName& name);
    // Releases every held name; the holder is empty afterwards.
    void shutdown();

    // One datagram from sourceAddress:sourcePort that arrived on interfaceIndex.
    void receive(std::span<const std::uint8_t> bytes, std::uint32_t sourceAddress,
                 std::uint16_t sourcePort, int interfaceIndex, Clock::time_point now);
    void tick(Clock::time_point now);
    // When tick next has work to do.
    std::optional<Clock::time_point> nextDeadline() const;

    std::vector<Datagram> takeOutgoing();
    std::vector<Change> takeChanges();

    // Over all interfaces, or on the one given.
    std::optional<Status> status(const NetbiosName& name,
                                 std::optional<int> interfaceIndex = std::nullopt) const;

private:
    struct Entry
    {
        State state = State::Pending;
        std::uint16_t transactionId = 0;
        int sent = 0;
        Clock::time_point nextAt{};
    };
    // The name at the WINS server.
    struct Wins
    {
        enum class Phase
        {
            Registering,
            Waiting, // WACK: the server is asking the old owner
            Registered,
            Refreshing,
            Refused,
            // No server answered; tried again at the refresh time.
            Unreached
        };
        Phase phase = Phase::Registering;
        std::size_t server = 0;
        std::uint32_t address = 0;
        std::uint16_t transactionId = 0;
        int sent = 0;
        Clock::time_point nextAt{};
    };
    struct Name
    {
        std::map<int, Entry> entries; // by interface index; loopback has none
        std::optional<Wins> wins;
        Status reported = Status::Pending;
        std::optional<Clock::time_point> retryAt; // while in conflict
        std::chrono::milliseconds retryDelay{0};
        std::uint64_t added = 0; // node status lists names in the order they were added
    };
    // A token bucket refilled at rate per second, holding at most rate tokens.
    struct Bucket
    {
        double tokens = 0;
        Clock::time_point at{};

        void refill(double rate, Clock::time_point now);
    };
    struct Source
    {
        Bucket bucket;
        Clock::time_point seen{};
    };
    enum class Answer
    {
        Query,
        Defence
    };

    const Interface* findInterface(int index) const;
    void startRegistration(const NetbiosName& name, Name& held, const Interface& interface,
                           Clock::time_point now);
    // On every interface but loopback, which needs no claim.
    void registerEverywhere(const NetbiosName& name, Name& held, Clock::time_point now);
    void sendRelease(const NetbiosName& name, const Interface& interface);
    // Where the name is held on a segment, and at the server.
    void releaseHeld(const NetbiosName& name, const Name& held);
    const Interface* winsInterface() const;
    void startWins(const NetbiosName& name, Name& held, Clock::time_point now);
    void sendWins(const NetbiosName& name, Name& held, Clock::time_point now);
    void tickWins(const NetbiosName& name, Name& held, Clock::time_point now);
    bool receiveWins(std::span<const std::uint8_t> bytes, std::uint32_t sourceAddress,
                     std::uint16_t sourcePort, Clock::time_point now);
    void releaseWins(const NetbiosName& name, const Name& held);
    void enterConflict(const NetbiosName& name, Name& held, Clock::time_point now);
    Status computeStatus(const Name& held) const;
    void updateStatus(const NetbiosName& name, Name& held);
    bool answersOn(const Name& held, const Interface& interface) const;
    bool takeAnswerToken(Answer kind, std::uint32_t source, Clock::time_point now);
    Bucket& sourceBucket(std::uint32_t source, Clock::time_point now);
    void retryConflict(const NetbiosName& name, Name& held, Clock::time_point now);
    void queue(const Interface& from, std::uint32_t address, std::uint16_t port,
               std::vector<std::uint8_t> bytes);

    Settings m_settings;
    std::uint16_t m_nextTransactionId;
    Log m_log;
    std::vector<Interface> m_interfaces;
    std::map<std::array<std::uint8_t, NetbiosName::kLength>, Name> m_names;
    std::vector<Datagram> m_outgoing;
    std::vector<Change> m_changes;
    std::uint64_t m_rateLimited = 0; // for the log line
    Bucket m_total;
    Bucket m_shared;
    std::map<std::uint32_t, Source> m_sources;
    std::optional<Clock::time_point> m_rateLoggedAt;
    std::uint64_t m_added = 0;
};
