#include "protocol/NameServerPacket.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

#include <algorithm>

namespace NameServerPacket {
namespace {

// Header (4.2.1.1), 12 bytes:
//   0 NAME_TRN_ID | 2 R(1) OPCODE(4) AA TC RD RA 0 0 B RCODE(4)
//   4 QDCOUNT | 6 ANCOUNT | 8 NSCOUNT | 10 ARCOUNT
constexpr std::uint16_t kResponse = 0x8000;
constexpr std::uint16_t kOpcodeMask = 0x7800;
constexpr int kOpcodeShift = 11;
constexpr std::uint16_t kAuthoritative = 0x0400;
constexpr std::uint16_t kRecursionDesired = 0x0100;
constexpr std::uint16_t kBroadcast = 0x0010;
constexpr std::uint16_t kRcodeMask = 0x000F;

constexpr std::uint16_t kOpcodeQuery = 0;
constexpr std::uint16_t kOpcodeRegistration = 5;
constexpr std::uint16_t kOpcodeRelease = 6;
constexpr std::uint16_t kOpcodeWack = 7;
constexpr std::uint16_t kOpcodeRefresh = 8;
constexpr std::uint16_t kOpcodeRefreshAlternative = 9; // RFC 1002's diagram of 4.2.4

constexpr std::uint16_t kTypeNb = 0x0020;
constexpr std::uint16_t kTypeNbstat = 0x0021;
constexpr std::uint16_t kTypeNull = 0x000A;
constexpr std::uint16_t kClassIn = 0x0001;
constexpr std::uint16_t kNbRdataLength = 6;
// RR_NAME of the additional record: a pointer to the question name at offset 12.
constexpr std::uint16_t kPointerToQuestion = 0xC00C;
constexpr std::size_t kStatisticsLength = 46;

struct Header
{
    std::uint16_t transactionId = 0;
    std::uint16_t flags = 0;
    std::uint16_t questions = 0;
    std::uint16_t answers = 0;
    std::uint16_t authorities = 0;
    std::uint16_t additionals = 0;

    bool isResponse() const { return (flags & kResponse) != 0; }
    std::uint16_t opcode() const { return (flags & kOpcodeMask) >> kOpcodeShift; }
    bool broadcast() const { return (flags & kBroadcast) != 0; }
    std::uint8_t rcode() const { return flags & kRcodeMask; }
};

Header readHeader(ByteReader& in)
{
    return {in.u16be(), in.u16be(), in.u16be(), in.u16be(), in.u16be(), in.u16be()};
}

void writeHeader(ByteWriter& out, std::uint16_t transactionId, std::uint16_t flags,
                 std::uint16_t questions, std::uint16_t answers, std::uint16_t additionals)
{
    const std::uint16_t authorities = 0;
    for (const auto word : {transactionId, flags, questions, answers, authorities, additionals})
        out.u16be(word);
}

// A resource record whose RDATA is NB_FLAGS and NB_ADDRESS (4.2.1.3):
//   RR_NAME | RR_TYPE NB | RR_CLASS IN | TTL (4) | RDLENGTH 6 | NB_FLAGS (2) | NB_ADDRESS (4)
struct NbRecord
{
    NetbiosName name;
    std::uint16_t nbFlags = 0;
    std::uint32_t address = 0;
};

std::optional<NbRecord> readNbRecord(ByteReader& in)
{
    const auto name = NetbiosName::read(in);
    if (!name)
        return std::nullopt;
    const std::uint16_t type = in.u16be();
    const std::uint16_t rrClass = in.u16be();
    in.skip(4); // TTL
    const std::uint16_t length = in.u16be();
    NbRecord record{*name, in.u16be(), in.u32be()};
    if (!in.ok() || type != kTypeNb || rrClass != kClassIn || length != kNbRdataLength)
        return std::nullopt;
    return record;
}

// QUESTION_NAME, QUESTION_TYPE (into type) and QUESTION_CLASS, which must be IN.
std::optional<NetbiosName> readQuestionName(ByteReader& in, std::uint16_t& type)
{
    const auto name = NetbiosName::read(in);
    type = in.u16be();
    const std::uint16_t qClass = in.u16be();
    if (!name || !in.ok() || qClass != kClassIn)
        return std::nullopt;
    return name;
}

// NAME REGISTRATION REQUEST (4.2.2) and NAME RELEASE REQUEST (4.2.9), 68 bytes unscoped:
//   header QD 1, AR 1 | QUESTION_NAME | NB | IN | additional NbRecord for the same name
std::optional<NameClaim> readClaim(ByteReader& in, const Header& header)
{
    if (header.questions != 1 || header.additionals != 1 || header.answers != 0)
        return std::nullopt;
    std::uint16_t type = 0;
    const auto question = readQuestionName(in, type);
    const auto record = question && type == kTypeNb ? readNbRecord(in) : std::nullopt;
    if (!record || record->name != *question)
        return std::nullopt;
    return NameClaim{header.transactionId, *question, header.broadcast(), record->nbFlags,
                     record->address};
}

// NAME QUERY REQUEST (4.2.12) and NODE STATUS REQUEST (4.2.17), 50 bytes unscoped:
//   header QD 1 | QUESTION_NAME | QUESTION_TYPE NB or NBSTAT | QUESTION_CLASS IN
std::optional<Incoming> readQuestion(ByteReader& in, const Header& header)
{
    std::uint16_t type = 0;
    const auto name =
        header.questions == 1 && header.answers == 0 ? readQuestionName(in, type) : std::nullopt;
    if (!name)
        return std::nullopt;
    if (type == kTypeNb) {
        return NameQuery{header.transactionId, *name, header.broadcast(),
                         (header.flags & kRecursionDesired) != 0};
    }
    if (type == kTypeNbstat)
        return NodeStatusRequest{header.transactionId, *name, header.broadcast()};
    return std::nullopt;
}

// NEGATIVE NAME REGISTRATION RESPONSE (4.2.6) and NAME CONFLICT DEMAND (4.2.8), 62 bytes:
//   header R, OPCODE 5, RCODE != 0, AN 1 | NbRecord (the claimant's flags and address)
std::optional<Incoming> readNegativeRegistration(ByteReader& in, const Header& header)
{
    if (header.rcode() == 0 || header.answers != 1 || header.questions != 0)
        return std::nullopt;
    const auto record = readNbRecord(in);
    if (!record)
        return std::nullopt;
    return NegativeRegistration{header.transactionId, record->name, header.rcode(), record->nbFlags,
                                record->address};
}

void writeNbRecord(ByteWriter& out, std::uint32_t ttl, std::uint16_t nbFlags, std::uint32_t address)
{
    out.u16be(kTypeNb);
    out.u16be(kClassIn);
    out.u32be(ttl);
    out.u16be(kNbRdataLength);
    out.u16be(nbFlags);
    out.u32be(address);
}

// AN 1: the name in full and its NB record.
std::vector<std::uint8_t> encodeNbAnswer(std::uint16_t transactionId, std::uint16_t flags,
                                         const NetbiosName& name, std::uint32_t ttl,
                                         std::uint16_t nbFlags, std::uint32_t address)
{
    ByteWriter out;
    writeHeader(out, transactionId, flags, 0, 1, 0);
    name.write(out);
    writeNbRecord(out, ttl, nbFlags, address);
    return out.take();
}

// A question for name and its NB record (TTL, NB_FLAGS, address): registrations, releases and
// refreshes, on the segment and at a WINS server.
std::vector<std::uint8_t> encodeClaim(std::uint16_t transactionId, std::uint16_t flags,
                                      const NetbiosName& name, std::uint32_t address,
                                      std::uint32_t ttl = 0, std::uint16_t nbFlags = 0x0000)
{
    ByteWriter out;
    writeHeader(out, transactionId, flags, 1, 0, 1);
    name.write(out);
    out.u16be(kTypeNb);
    out.u16be(kClassIn);
    // The pointer keeps the datagram short, as 4.2.2 asks.
    out.u16be(kPointerToQuestion);
    writeNbRecord(out, ttl, nbFlags, address);
    return out.take();
}

} // namespace

std::optional<Incoming> decode(std::span<const std::uint8_t> packet)
{
    ByteReader in(packet);
    const Header header = readHeader(in);
    if (!in.ok())
        return std::nullopt;
    if (header.isResponse())
        return header.opcode() == kOpcodeRegistration ? readNegativeRegistration(in, header)
                                                      : std::nullopt;
    if (header.rcode() != 0)
        return std::nullopt;
    switch (header.opcode()) {
    case kOpcodeQuery:
        return readQuestion(in, header);
    case kOpcodeRegistration:
        if (const auto claim = readClaim(in, header))
            return Registration{*claim};
        return std::nullopt;
    case kOpcodeRelease:
        if (const auto claim = readClaim(in, header))
            return Release{*claim};
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::vector<std::uint8_t> encodeRegistrationRequest(std::uint16_t transactionId,
                                                    const NetbiosName& name, std::uint32_t address)
{
    const std::uint16_t flags =
        (kOpcodeRegistration << kOpcodeShift) | kRecursionDesired | kBroadcast; // 0x2910
    return encodeClaim(transactionId, flags, name, address);
}

std::vector<std::uint8_t> encodeReleaseRequest(std::uint16_t transactionId, const NetbiosName& name,
                                               std::uint32_t address)
{
    const std::uint16_t flags = (kOpcodeRelease << kOpcodeShift) | kBroadcast; // 0x3010
    return encodeClaim(transactionId, flags, name, address);
}

// 4.2.13: header R, AA, RD (0x8500), AN 1 | RR_NAME in full | NbRecord. RA stays clear: it is
// for name servers only (4.2.1.1).
std::vector<std::uint8_t> encodePositiveQueryResponse(std::uint16_t transactionId,
                                                      const NetbiosName& name,
                                                      std::uint32_t address, std::uint32_t ttl)
{
    return encodeNbAnswer(transactionId, kResponse | kAuthoritative | kRecursionDesired, name, ttl,
                          0x0000, address);
}

// 4.2.6: header R, OPCODE 5, AA, RD, RA, RCODE (0xAD86 for ACT_ERR), AN 1 | RR_NAME in full |
// NbRecord with TTL 0 and the claimant's RDATA, as nmbd sends it.
std::vector<std::uint8_t> encodeNegativeRegistrationResponse(std::uint16_t transactionId,
                                                             const NetbiosName& name,
                                                             std::uint16_t claimantFlags,
                                                             std::uint32_t claimantAddress,
                                                             std::uint8_t rcode)
{
    constexpr std::uint16_t kRecursionAvailable = 0x0080;
    const std::uint16_t flags = kResponse | (kOpcodeRegistration << kOpcodeShift) | kAuthoritative |
                                kRecursionDesired | kRecursionAvailable | (rcode & kRcodeMask);
    return encodeNbAnswer(transactionId, flags, name, 0, claimantFlags, claimantAddress);
}

// 4.2.18: header R, AA (0x8400), AN 1 | RR_NAME (the asked name) | NBSTAT | IN | TTL 0 |
// RDLENGTH | NUM_NAMES (1) | NUM_NAMES x (15 raw name bytes, suffix, NAME_FLAGS (2)) |
// STATISTICS (46: UNIT_ID (6) first, the rest zero).
std::vector<std::uint8_t> encodeNodeStatusResponse(std::uint16_t transactionId,
                                                   const NetbiosName& askedName,
                                                   std::span<const NodeStatusName> names,
                                                   const std::array<std::uint8_t, 6>& unitId)
{
    const std::size_t count = std::min(names.size(), kMaxNodeStatusNames);
    ByteWriter out;
    writeHeader(out, transactionId, kResponse | kAuthoritative, 0, 1, 0);
    askedName.write(out);
    out.u16be(kTypeNbstat);
    out.u16be(kClassIn);
    out.u32be(0);
    out.u16be(static_cast<std::uint16_t>(1 + count * 18 + kStatisticsLength));
    out.u8(static_cast<std::uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        out.bytes(names[i].name.bytes());
        out.u16be(names[i].flags);
    }
    out.bytes(unitId);
    out.zeros(kStatisticsLength - unitId.size());
    return out.take();
}

std::vector<std::uint8_t> encodeWinsRequest(WinsRequest request, std::uint16_t transactionId,
                                            const NetbiosName& name, std::uint32_t address,
                                            std::uint32_t ttl)
{
    std::uint16_t flags = (kOpcodeRelease << kOpcodeShift); // 0x3000
    if (request == WinsRequest::Registration)
        flags = (kOpcodeRegistration << kOpcodeShift) | kRecursionDesired; // 0x2900
    else if (request == WinsRequest::Refresh)
        flags = (kOpcodeRefresh << kOpcodeShift) | kRecursionDesired; // 0x4100
    return encodeClaim(transactionId, flags, name, address,
                       request == WinsRequest::Release ? 0 : ttl, kHNodeFlags);
}

// Answers carry the name in full and one record: NB with 6 bytes for registrations, refreshes
// and releases; NULL with the request's 2-byte flags word for a WACK (4.2.16).
std::optional<WinsAnswer> decodeWinsAnswer(std::span<const std::uint8_t> packet)
{
    ByteReader in(packet);
    const Header header = readHeader(in);
    if (!in.ok() || !header.isResponse() || header.answers != 1 || header.questions != 0)
        return std::nullopt;
    const auto name = NetbiosName::read(in);
    const std::uint16_t type = in.u16be();
    const std::uint16_t rrClass = in.u16be();
    const std::uint32_t ttl = in.u32be();
    const std::uint16_t length = in.u16be();
    in.skip(length);
    if (!name || !in.ok() || rrClass != kClassIn)
        return std::nullopt;

    WinsAnswer answer{header.transactionId, *name, WinsAnswer::Kind::Refused, header.rcode(), ttl};
    const bool granted = header.rcode() == 0;
    switch (header.opcode()) {
    case kOpcodeRegistration:
    case kOpcodeRefresh:
    case kOpcodeRefreshAlternative:
    case kOpcodeRelease:
        if (type != kTypeNb || length != kNbRdataLength)
            return std::nullopt;
        if (header.opcode() == kOpcodeRelease)
            answer.kind = granted ? WinsAnswer::Kind::Released : WinsAnswer::Kind::NotReleased;
        else
            answer.kind = granted ? WinsAnswer::Kind::Granted : WinsAnswer::Kind::Refused;
        return answer;
    case kOpcodeWack:
        if (type != kTypeNull || length != 2 || !granted)
            return std::nullopt;
        answer.kind = WinsAnswer::Kind::Wait;
        return answer;
    default:
        return std::nullopt;
    }
}

} // namespace NameServerPacket
