#include "protocol/SmbServerMessage.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kFlagsReply = 0x80;
constexpr std::uint8_t kFormatDataBlock = 0x01;
constexpr std::uint8_t kFormatString = 0x04;

// 0x04, a NUL-terminated string of at most kMaxName bytes; the NUL is consumed, not returned.
std::optional<std::vector<std::uint8_t>> readString(ByteReader& in)
{
    if (in.u8() != kFormatString || !in.ok())
        return std::nullopt;
    const auto rest = in.whole().subspan(in.offset(), in.remaining());
    const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t(0));
    if (nul == rest.end() || nul - rest.begin() > std::ptrdiff_t(SmbServerMessage::kMaxName))
        return std::nullopt;
    const auto text = in.bytes(static_cast<std::size_t>(nul - rest.begin()));
    in.skip(1);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// 0x01, DataLength (LE16), DataLength bytes.
std::optional<std::vector<std::uint8_t>> readDataBlock(ByteReader& in)
{
    if (in.u8() != kFormatDataBlock)
        return std::nullopt;
    const std::uint16_t length = in.u16le();
    const auto data = in.bytes(length);
    if (!in.ok())
        return std::nullopt;
    return std::vector<std::uint8_t>(data.begin(), data.end());
}

// The request's header fields echoed with the reply flag and Status in DOS form; ByteCount 0.
std::vector<std::uint8_t> encodeReply(const SmbServerMessage::Request& request,
                                      std::uint8_t errorClass, std::uint16_t errorCode,
                                      std::span<const std::uint16_t> words)
{
    ByteWriter out;
    out.bytes(std::span<const std::uint8_t>({0xFF, 'S', 'M', 'B'}));
    out.u8(request.command);
    out.u8(errorClass);
    out.u8(0);
    out.u16le(errorCode);
    out.u8(kFlagsReply);
    out.u16le(0); // Flags2
    out.u16le(request.pidHigh);
    out.zeros(8); // SecurityFeatures
    out.u16le(0); // Reserved
    out.u16le(request.tid);
    out.u16le(request.pidLow);
    out.u16le(request.uid);
    out.u16le(request.mid);
    out.u8(static_cast<std::uint8_t>(words.size()));
    for (const std::uint16_t word : words)
        out.u16le(word);
    out.u16le(0);
    return out.take();
}

} // namespace

namespace SmbServerMessage {

std::optional<Request> decodeRequest(std::span<const std::uint8_t> smb)
{
    ByteReader in(smb);
    const auto protocol = in.bytes(4);
    Request request;
    request.command = in.u8();
    in.skip(4); // Status
    const std::uint8_t flags = in.u8();
    in.skip(2); // Flags2
    request.pidHigh = in.u16le();
    in.skip(8 + 2); // SecurityFeatures, Reserved
    request.tid = in.u16le();
    request.pidLow = in.u16le();
    request.uid = in.u16le();
    request.mid = in.u16le();
    const std::uint8_t wordCount = in.u8();
    if (!in.ok() || in.remaining() < 2u * wordCount)
        return std::nullopt;
    for (std::uint8_t i = 0; i < wordCount; ++i)
        request.words.push_back(in.u16le());
    const auto bytes = in.bytes(in.u16le()); // ByteCount and the bytes
    const std::uint8_t magic[4] = {0xFF, 'S', 'M', 'B'};
    if (!in.ok() || !std::equal(protocol.begin(), protocol.end(), magic) ||
        (flags & kFlagsReply) != 0)
        return std::nullopt;
    request.bytes.assign(bytes.begin(), bytes.end());
    return request;
}

std::optional<SendMessage> decodeSend(const Request& request)
{
    if (request.command != kSend || !request.words.empty())
        return std::nullopt;
    ByteReader in(request.bytes);
    auto from = readString(in);
    auto to = from ? readString(in) : std::nullopt;
    auto data = to ? readDataBlock(in) : std::nullopt;
    if (!data)
        return std::nullopt;
    return SendMessage{std::move(*from), std::move(*to), std::move(*data)};
}

std::optional<StartMessage> decodeStart(const Request& request)
{
    if (request.command != kStart || !request.words.empty())
        return std::nullopt;
    ByteReader in(request.bytes);
    auto from = readString(in);
    auto to = from ? readString(in) : std::nullopt;
    if (!to)
        return std::nullopt;
    return StartMessage{std::move(*from), std::move(*to)};
}

std::optional<TextMessage> decodeText(const Request& request)
{
    if (request.command != kText || request.words.size() != 1)
        return std::nullopt;
    ByteReader in(request.bytes);
    auto data = readDataBlock(in);
    if (!data)
        return std::nullopt;
    return TextMessage{request.words[0], std::move(*data)};
}

std::optional<std::uint16_t> decodeEnd(const Request& request)
{
    if (request.command != kEnd || request.words.size() != 1)
        return std::nullopt;
    return request.words[0];
}

std::vector<std::uint8_t> encodeReply(const Request& request, std::span<const std::uint16_t> words)
{
    return ::encodeReply(request, 0, 0, words);
}

std::vector<std::uint8_t> encodeErrorReply(const Request& request, std::uint8_t errorClass,
                                           std::uint16_t errorCode)
{
    return ::encodeReply(request, errorClass, errorCode, {});
}

} // namespace SmbServerMessage
