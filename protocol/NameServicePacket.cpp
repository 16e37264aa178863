#include "protocol/NameServicePacket.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

#include <utility>

namespace {

// Header word (4.2.1.1): R | OPCODE | NM_FLAGS | RCODE.
constexpr std::uint16_t kResponse = 0x8000;
constexpr std::uint16_t kOpcodeMask = 0x7800;
constexpr std::uint16_t kRecursionDesired = 0x0100;
constexpr std::uint16_t kBroadcast = 0x0010;
constexpr std::uint16_t kRcodeMask = 0x000F;

constexpr std::uint16_t kTypeNb = 0x0020;
constexpr std::uint16_t kTypeNbstat = 0x0021;
constexpr std::uint16_t kClassIn = 0x0001;

constexpr std::uint16_t kMaxQuestions = 4;
constexpr std::size_t kAddressEntrySize = 6;
constexpr std::size_t kNodeNameEntrySize = 18;

std::vector<std::uint8_t> encodeQuestion(std::uint16_t transactionId, std::uint16_t flags,
                                         const NetbiosName& name, std::uint16_t type)
{
    ByteWriter out;
    out.u16be(transactionId);
    out.u16be(flags);
    out.u16be(1); // QDCOUNT
    out.zeros(6); // ANCOUNT, NSCOUNT, ARCOUNT
    name.write(out);
    out.u16be(type);
    out.u16be(kClassIn);
    return out.take();
}

// Header and skipped questions of a query response whose RCODE is zero, or nonzero when
// negative; leaves the reader at the first answer record.
std::optional<std::pair<std::uint16_t, std::uint16_t>> readToAnswer(ByteReader& in, bool negative)
{
    const std::uint16_t transactionId = in.u16be();
    const std::uint16_t flags = in.u16be();
    const std::uint16_t questions = in.u16be();
    const std::uint16_t answers = in.u16be();
    in.skip(4); // NSCOUNT, ARCOUNT
    if (!in.ok() || (flags & kResponse) == 0 || (flags & kOpcodeMask) != 0 ||
        ((flags & kRcodeMask) != 0) != negative || answers == 0 || questions > kMaxQuestions)
        return std::nullopt;
    for (std::uint16_t i = 0; i < questions; ++i) {
        if (!NetbiosName::read(in))
            return std::nullopt;
        in.skip(4); // type, class
    }
    return std::pair(transactionId, flags);
}

struct ResourceRecord
{
    std::uint16_t transactionId = 0;
    NetbiosName name;
    std::uint16_t type = 0;
    std::span<const std::uint8_t> data;
};

// The first answer record of a positive query response.
std::optional<ResourceRecord> readFirstAnswer(std::span<const std::uint8_t> packet)
{
    ByteReader in(packet);
    const auto start = readToAnswer(in, false);
    const auto name = start ? NetbiosName::read(in) : std::nullopt;
    if (!name)
        return std::nullopt;
    ResourceRecord record{start->first, *name, in.u16be(), {}};
    const std::uint16_t rrClass = in.u16be();
    in.skip(4); // TTL
    record.data = in.bytes(in.u16be());
    if (!in.ok() || rrClass != kClassIn)
        return std::nullopt;
    return record;
}

} // namespace

namespace NameServicePacket {

std::vector<std::uint8_t> encodeNameQuery(std::uint16_t transactionId, const NetbiosName& name,
                                          bool broadcast)
{
    const std::uint16_t flags = kRecursionDesired | (broadcast ? kBroadcast : 0);
    return encodeQuestion(transactionId, flags, name, kTypeNb);
}

std::vector<std::uint8_t> encodeNodeStatusRequest(std::uint16_t transactionId)
{
    return encodeQuestion(transactionId, 0, NetbiosName::wildcard(), kTypeNbstat);
}

// RDATA (4.2.13): NB_FLAGS (G 0x8000, ONT 0x6000) and NB_ADDRESS, six bytes per entry.
std::optional<NameQueryResponse> decodeNameQueryResponse(std::span<const std::uint8_t> packet)
{
    const auto record = readFirstAnswer(packet);
    if (!record || record->type != kTypeNb || record->data.empty() ||
        record->data.size() % kAddressEntrySize != 0)
        return std::nullopt;

    NameQueryResponse response{record->transactionId, record->name, {}};
    ByteReader in(record->data);
    while (in.remaining() > 0)
        response.addresses.push_back({(in.u16be() & 0x8000) != 0, in.u32be()});
    return response;
}

// nmbd answers QD 0, AN 1 with the name and a NULL record; the record's type is not checked,
// only that the name is the one asked for.
std::optional<NegativeQueryResponse>
decodeNegativeNameQueryResponse(std::span<const std::uint8_t> packet)
{
    ByteReader in(packet);
    const auto start = readToAnswer(in, true);
    const auto name = start ? NetbiosName::read(in) : std::nullopt;
    if (!name || !in.ok())
        return std::nullopt;
    return NegativeQueryResponse{start->first, *name,
                                 static_cast<std::uint8_t>(start->second & kRcodeMask)};
}

// RDATA (4.2.18): NUM_NAMES, NUM_NAMES x (15-byte name, suffix, NAME_FLAGS), STATISTICS.
std::optional<NodeStatusResponse> decodeNodeStatusResponse(std::span<const std::uint8_t> packet)
{
    const auto record = readFirstAnswer(packet);
    if (!record || record->type != kTypeNbstat)
        return std::nullopt;

    ByteReader in(record->data);
    const std::uint8_t count = in.u8();
    if (!in.ok() || in.remaining() < count * kNodeNameEntrySize)
        return std::nullopt;

    NodeStatusResponse response{record->transactionId, {}};
    for (std::uint8_t i = 0; i < count; ++i) {
        const auto raw = in.bytes(NetbiosName::kLength);
        const auto name = NetbiosName::fromOem(raw.first(NetbiosName::kMaxNameBytes), raw.back());
        response.names.push_back({name, in.u16be()});
    }
    return response;
}

} // namespace NameServicePacket
