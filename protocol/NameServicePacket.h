#pragma once

#include "protocol/NetbiosName.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// NetBIOS name service packets on UDP 137 (RFC 1002 4.2): the two requests we send and the
// two positive responses we accept.
namespace NameServicePacket {

struct AddressEntry
{
    bool group = false;
    std::uint32_t address = 0; // IPv4, host byte order
};

struct NameQueryResponse
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    std::vector<AddressEntry> addresses;
};

// NEGATIVE NAME QUERY RESPONSE (4.2.14): a name server's definite "no such name".
struct NegativeQueryResponse
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    std::uint8_t rcode = 0;
};

struct NodeStatusEntry
{
    NetbiosName name;
    std::uint16_t flags = 0;

    bool isGroup() const { return (flags & 0x8000) != 0; }
    bool isActive() const { return (flags & 0x0400) != 0; }
    bool isDeregistering() const { return (flags & 0x1000) != 0; }
    bool isInConflict() const { return (flags & 0x0800) != 0; }
};

struct NodeStatusResponse
{
    std::uint16_t transactionId = 0;
    std::vector<NodeStatusEntry> names;
};

// NAME QUERY REQUEST (4.2.12): flags RD, plus B when broadcast; one question NB/IN.
std::vector<std::uint8_t> encodeNameQuery(std::uint16_t transactionId, const NetbiosName& name,
                                          bool broadcast);
// NODE STATUS REQUEST (4.2.17): question '*' NBSTAT/IN, flags 0.
std::vector<std::uint8_t> encodeNodeStatusRequest(std::uint16_t transactionId);

// POSITIVE NAME QUERY RESPONSE (4.2.13). Requests, negative responses, WACKs and anything
// malformed give nullopt.
std::optional<NameQueryResponse> decodeNameQueryResponse(std::span<const std::uint8_t> packet);
// NEGATIVE NAME QUERY RESPONSE: a query response with a nonzero RCODE and its record's name.
std::optional<NegativeQueryResponse>
decodeNegativeNameQueryResponse(std::span<const std::uint8_t> packet);
// NODE STATUS RESPONSE (4.2.18). RDLENGTH bounds the name table; the statistics after it may
// be short or missing.
std::optional<NodeStatusResponse> decodeNodeStatusResponse(std::span<const std::uint8_t> packet);

} // namespace NameServicePacket
