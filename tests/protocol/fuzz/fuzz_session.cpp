// The session service as a receiver's byte stream: frame headers, session responses, and the
// frame reader fed the same bytes whole and in pieces.

#include "FuzzCheck.h"
#include "protocol/FrameReader.h"
#include "protocol/SessionPacket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace {

constexpr std::size_t kMaxBody = 512;

struct Outcome
{
    std::vector<SessionFrame> frames;
    FrameReader::Status last = FrameReader::Status::NeedMore;
};

// Feeds the stream in pieces of the given sizes (cycled) and collects what comes out.
Outcome readFrames(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> pieces)
{
    FrameReader reader(kMaxBody);
    Outcome outcome;
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < stream.size()) {
        const std::size_t want =
            pieces.empty() ? stream.size() : 1 + pieces[piece++ % pieces.size()];
        const std::size_t take = std::min(want, stream.size() - at);
        reader.append(stream.subspan(at, take));
        at += take;
        // Bounded: each Frame consumes at least a header.
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            SessionFrame frame;
            outcome.last = reader.next(frame);
            if (outcome.last != FrameReader::Status::Frame)
                break;
            FUZZ_CHECK(frame.body.size() <= kMaxBody);
            FUZZ_CHECK(frame.type != SessionPacket::kKeepAlive);
            outcome.frames.push_back(std::move(frame));
        }
        if (outcome.last == FrameReader::Status::Malformed ||
            outcome.last == FrameReader::Status::Oversized)
            break;
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> stream(data, size);

    if (size >= SessionPacket::kHeaderSize) {
        const auto header = SessionPacket::decodeHeader(stream.first<SessionPacket::kHeaderSize>());
        if (header)
            FUZZ_CHECK(header->length <= SessionPacket::kMaxLength && header->type == data[0]);
        const auto body = stream.subspan(SessionPacket::kHeaderSize);
        if (const auto response = SessionPacket::decodeResponse(data[0], body)) {
            using Kind = SessionPacket::Response::Kind;
            FUZZ_CHECK(response->kind != Kind::Positive || body.empty());
            FUZZ_CHECK(response->kind != Kind::Negative || body.size() == 1);
            FUZZ_CHECK(response->kind != Kind::Retarget || body.size() == 6);
        }
    }

    // However the bytes are cut, the same frames come out, and the same ending.
    const Outcome whole = readFrames(stream, {});
    const Outcome pieces = readFrames(stream, stream.first(std::min<std::size_t>(size, 8)));
    FUZZ_CHECK(whole.frames.size() == pieces.frames.size());
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        FUZZ_CHECK(whole.frames[i].type == pieces.frames[i].type);
        FUZZ_CHECK(whole.frames[i].body == pieces.frames[i].body);
    }
    FUZZ_CHECK(whole.last == pieces.last || whole.last == FrameReader::Status::Frame ||
               pieces.last == FrameReader::Status::Frame);
    return 0;
}
