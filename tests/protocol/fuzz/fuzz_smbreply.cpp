// SMB replies to the message commands, and their Status field in both forms.

#include "FuzzCheck.h"
#include "protocol/SmbMessage.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> smb(data, size);

    if (const auto reply = SmbMessage::decodeReply(smb)) {
        FUZZ_CHECK(size >= SmbMessage::kMinimumSize);
        FUZZ_CHECK(reply->command == data[4]);
        FUZZ_CHECK((data[9] & 0x80) != 0);
        FUZZ_CHECK(reply->words.size() == data[32]);
        FUZZ_CHECK(SmbMessage::kMinimumSize + 2 * reply->words.size() <= size);
    }

    if (size >= 6) {
        const auto status =
            SmbMessage::decodeStatus(smb.first<4>(), std::uint16_t(data[4] | (data[5] << 8)));
        // All-zero is success in either form; anything else but the reserved byte of the DOS
        // form is an error.
        const bool zero = data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 0;
        if (zero)
            FUZZ_CHECK(status.isSuccess());
        if (status.isSuccess())
            FUZZ_CHECK(data[0] == 0 && data[2] == 0 && data[3] == 0);
    }
    return 0;
}
