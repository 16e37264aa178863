#pragma once

#include "protocol/NetbiosName.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

// The name-service packets of a broadcast end node that holds names (RFC 1002 4.2, 5.1.1): what
// it reads from others on UDP 137 and what it sends to register, answer, defend and release.
// Addresses are IPv4 in host byte order.
namespace NameServerPacket {

// RCODEs of a NEGATIVE NAME REGISTRATION RESPONSE (4.2.6).
constexpr std::uint8_t kActiveError = 0x6;   // ACT_ERR: the name is owned by another node
constexpr std::uint8_t kConflictError = 0x7; // CFT_ERR: the NAME CONFLICT DEMAND (4.2.8)

// NB_FLAGS / NAME_FLAGS bits (4.2.1.3, 4.2.18).
constexpr std::uint16_t kGroupFlag = 0x8000;
constexpr std::uint16_t kActiveFlag = 0x0400;

// NAME QUERY REQUEST (4.2.12), question type NB.
struct NameQuery
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    bool broadcast = false;
    bool recursionDesired = false;
};

// NODE STATUS REQUEST (4.2.17), question type NBSTAT: '*' or one of the node's names.
struct NodeStatusRequest
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    bool broadcast = false;
};

// NAME REGISTRATION REQUEST (4.2.2), the overwrite demand (4.2.3, RD = 0) alike, and NAME
// RELEASE REQUEST (4.2.9): a question and one additional record carrying the claimant.
struct NameClaim
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    bool broadcast = false;
    std::uint16_t nbFlags = 0;
    std::uint32_t address = 0;

    bool isGroup() const { return (nbFlags & kGroupFlag) != 0; }
};
struct Registration : NameClaim
{};
struct Release : NameClaim
{};

// NEGATIVE NAME REGISTRATION RESPONSE (4.2.6) and NAME CONFLICT DEMAND (4.2.8, RCODE 7).
struct NegativeRegistration
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    std::uint8_t rcode = 0;
    std::uint16_t nbFlags = 0;
    std::uint32_t address = 0;
};

using Incoming =
    std::variant<NameQuery, NodeStatusRequest, Registration, Release, NegativeRegistration>;

// One datagram that arrived on UDP 137, as one of the packets above. Everything else (answers
// to queries, WACKs, refreshes, positive registration responses) and anything malformed gives
// nullopt.
std::optional<Incoming> decode(std::span<const std::uint8_t> packet);

// NAME REGISTRATION REQUEST, broadcast form (flags 0x2910), unique, TTL 0 (4.2.2, 5.1.1.1).
std::vector<std::uint8_t> encodeRegistrationRequest(std::uint16_t transactionId,
                                                    const NetbiosName& name, std::uint32_t address);
// NAME RELEASE REQUEST, broadcast form (flags 0x3010), unique (4.2.9, 5.1.1.4).
std::vector<std::uint8_t> encodeReleaseRequest(std::uint16_t transactionId, const NetbiosName& name,
                                               std::uint32_t address);
// POSITIVE NAME QUERY RESPONSE with one unique address (4.2.13).
std::vector<std::uint8_t> encodePositiveQueryResponse(std::uint16_t transactionId,
                                                      const NetbiosName& name,
                                                      std::uint32_t address, std::uint32_t ttl);
// NEGATIVE NAME REGISTRATION RESPONSE echoing the claimant's NB_FLAGS and address (4.2.6).
std::vector<std::uint8_t> encodeNegativeRegistrationResponse(std::uint16_t transactionId,
                                                             const NetbiosName& name,
                                                             std::uint16_t claimantFlags,
                                                             std::uint32_t claimantAddress,
                                                             std::uint8_t rcode = kActiveError);

// --- A client of a WINS server (RFC 1002 4.2, 5.1.2), unicast to the server's port 137 -----

enum class WinsRequest
{
    Registration, // 0x2900: opcode 5, RD
    Refresh,      // 0x4100: opcode 8, RD
    Release       // 0x3000: opcode 6
};

// NB_FLAGS of an H-node's unique name, as Samba's client registers it.
constexpr std::uint16_t kHNodeFlags = 0x6000;

// The 68-byte request for a unique name at address; a release carries TTL 0.
std::vector<std::uint8_t> encodeWinsRequest(WinsRequest request, std::uint16_t transactionId,
                                            const NetbiosName& name, std::uint32_t address,
                                            std::uint32_t ttl);

// The server's answer to one of those requests.
struct WinsAnswer
{
    enum class Kind
    {
        // A registration or refresh answered positively (nmbd answers both with opcode 5).
        Granted,
        // WACK: the server asks the old owner first; wait up to ttl seconds.
        Wait,
        // A registration or refresh refused (rcode: ACT_ERR, RFS_ERR...).
        Refused,
        Released,
        // A release the server refused: it holds no such name at this address.
        NotReleased
    };
    std::uint16_t transactionId = 0;
    NetbiosName name;
    Kind kind = Kind::Refused;
    std::uint8_t rcode = 0;
    std::uint32_t ttl = 0;
};

// nullopt for anything that is not a WINS server's answer to a name request.
std::optional<WinsAnswer> decodeWinsAnswer(std::span<const std::uint8_t> packet);

struct NodeStatusName
{
    NetbiosName name;
    std::uint16_t flags = kActiveFlag;
};

// At most this many names fit the 576-byte datagram that Samba's parser accepts.
constexpr std::size_t kMaxNodeStatusNames = 25;

// NODE STATUS RESPONSE (4.2.18): the asked name copied, the names (the first
// kMaxNodeStatusNames), the unit id and zero statistics.
std::vector<std::uint8_t> encodeNodeStatusResponse(std::uint16_t transactionId,
                                                   const NetbiosName& askedName,
                                                   std::span<const NodeStatusName> names,
                                                   const std::array<std::uint8_t, 6>& unitId = {});

} // namespace NameServerPacket
