// The decoders a message server runs on what callers send: session requests, SMB requests and
// the four message commands, and OEM text. Replies built from any accepted request must be
// replies the client's decoder accepts, with the same command and MID.

#include "FuzzCheck.h"
#include "protocol/OemDecoder.h"
#include "protocol/SessionServerPacket.h"
#include "protocol/SmbMessage.h"
#include "protocol/SmbServerMessage.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);

    if (const auto request = SessionServerPacket::decodeSessionRequest(input))
        FUZZ_CHECK(size >= 68);

    if (const auto request = SmbServerMessage::decodeRequest(input)) {
        FUZZ_CHECK(size >= SmbServerMessage::kMinimumSize);
        FUZZ_CHECK(request->bytes.size() <= size);
        const auto reply = SmbMessage::decodeReply(SmbServerMessage::encodeReply(*request));
        FUZZ_CHECK(reply && reply->command == request->command && reply->mid == request->mid &&
                   reply->status.isSuccess());
        const auto refusal = SmbMessage::decodeReply(
            SmbServerMessage::encodeErrorReply(*request, SmbServerMessage::kErrSrv, 0x53));
        FUZZ_CHECK(refusal && refusal->status.errorClass == 2 && refusal->status.errorCode == 0x53);
        if (const auto send = SmbServerMessage::decodeSend(*request)) {
            FUZZ_CHECK(send->from.size() + send->to.size() + send->data.size() <= size);
            FUZZ_CHECK(send->from.size() <= SmbServerMessage::kMaxName &&
                       send->to.size() <= SmbServerMessage::kMaxName);
        }
        if (const auto text = SmbServerMessage::decodeText(*request))
            FUZZ_CHECK(text->data.size() <= request->bytes.size());
        if (const auto start = SmbServerMessage::decodeStart(*request))
            FUZZ_CHECK(start->from.size() <= SmbServerMessage::kMaxName &&
                       start->to.size() <= SmbServerMessage::kMaxName);
        SmbServerMessage::decodeEnd(*request);
    }

    // A name is one line: no control character survives, whatever the bytes.
    const std::string name = OemDecoder().name(input);
    FUZZ_CHECK(std::none_of(name.begin(), name.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
    FUZZ_CHECK(std::none_of(name.begin(), name.end(),
                            [](char c) { return static_cast<unsigned char>(c) == 0x7F; }));

    // Text: no CR, no NUL, valid UTF-8, at most one line break per input byte.
    const std::string text = OemDecoder().text(input);
    FUZZ_CHECK(std::count(text.begin(), text.end(), '\r') == 0);
    FUZZ_CHECK(std::count(text.begin(), text.end(), '\0') == 0);
    FUZZ_CHECK(std::size_t(std::count(text.begin(), text.end(), '\n')) <= size);
    for (std::size_t at = 0; at < text.size();)
        FUZZ_CHECK(Utf8::next(text, at) != 0xFFFD || text.compare(at - 3, 3, "\xEF\xBF\xBD") == 0);
    return 0;
}
