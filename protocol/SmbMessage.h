#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The SMB1 message commands (MS-MSRP 2.2.3, MS-CIFS 2.2.3.1 for the header). Encoders return
// the SMB alone; the session message frame goes around it.
namespace SmbMessage {

constexpr std::uint8_t kStart = 0xD5;
constexpr std::uint8_t kEnd = 0xD6;
constexpr std::uint8_t kText = 0xD7;

constexpr std::size_t kMinimumSize = 35; // header, WordCount, ByteCount
constexpr std::size_t kMaxBlock = 128;

// 0xD5: WordCount 0; 0x04 OriginatorName NUL 0x04 DestinationName NUL (OEM bytes).
std::vector<std::uint8_t> encodeStart(std::span<const std::uint8_t> from,
                                      std::span<const std::uint8_t> to, std::uint16_t mid);
// 0xD7: WordCount 1 (MessageGroupId); 0x01 DataLength block (at most kMaxBlock bytes).
std::vector<std::uint8_t> encodeText(std::uint16_t group, std::span<const std::uint8_t> block,
                                     std::uint16_t mid);
// 0xD6: WordCount 1 (MessageGroupId); ByteCount 0.
std::vector<std::uint8_t> encodeEnd(std::uint16_t group, std::uint16_t mid);

// The 4-byte Status field, read as NTSTATUS when Flags2 says so or its severity bits are set,
// otherwise as ErrorClass and ErrorCode. NT codes of the "CIFS-specific" form (severity 0)
// carry a class and code too: (code << 16) | class.
struct Status
{
    std::uint32_t ntStatus = 0; // set in NT form only
    std::uint8_t errorClass = 0;
    std::uint16_t errorCode = 0;

    bool isSuccess() const { return ntStatus == 0 && errorClass == 0 && errorCode == 0; }
};

Status decodeStatus(std::span<const std::uint8_t, 4> field, std::uint16_t flags2);

struct Reply
{
    std::uint8_t command = 0;
    Status status;
    std::uint16_t mid = 0;
    std::vector<std::uint16_t> words;
};

// Any well-formed SMB reply: 'FF SMB', the reply flag, and WordCount/ByteCount that fit.
std::optional<Reply> decodeReply(std::span<const std::uint8_t> smb);

} // namespace SmbMessage
