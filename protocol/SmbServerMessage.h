#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The SMB1 message commands as a message server reads and answers them (MS-MSRP 2.2.3,
// MS-CIFS 2.2.3.1). Decoders take the SMB alone, without its session message frame.
namespace SmbServerMessage {

constexpr std::uint8_t kSend = 0xD0;
constexpr std::uint8_t kStart = 0xD5;
constexpr std::uint8_t kEnd = 0xD6;
constexpr std::uint8_t kText = 0xD7;

constexpr std::size_t kMinimumSize = 35; // header, WordCount, ByteCount
// Longest originator or destination name taken, in bytes as sent: far beyond any real one
// (15 for a NetBIOS name), and a longer one is no name but a malformed request.
constexpr std::size_t kMaxName = 255;

// DOS error classes and codes (MS-CIFS 2.2.2.4) a message server answers with.
constexpr std::uint8_t kErrDos = 0x01;
constexpr std::uint8_t kErrSrv = 0x02;
constexpr std::uint16_t kErrInvalidParam = 87; // ERRDOS: out of order, or empty
constexpr std::uint16_t kErrError = 0x0001;    // ERRSRV: malformed request
constexpr std::uint16_t kErrSmbCmd = 0x0040;   // ERRSRV: not a message command
constexpr std::uint16_t kErrSrvError = 0x0041; // ERRSRV: the server failed
constexpr std::uint16_t kErrMsgOff = 0x0052;   // ERRSRV: not receiving messages (blocked)
constexpr std::uint16_t kErrNoRoom = 0x0053;   // ERRSRV: no room for the message

// Any SMB request. Header (MS-CIFS 2.2.3.1), little-endian:
//   off size
//   0   4    Protocol   FF 'S' 'M' 'B'
//   4   1    Command
//   5   4    Status     (ignored in requests)
//   9   1    Flags      the reply bit 0x80 must be clear
//   10  2    Flags2
//   12  2    PIDHigh
//   14  8    SecurityFeatures
//   22  2    Reserved
//   24  2    TID
//   26  2    PIDLow
//   28  2    UID
//   30  2    MID
//   32  1    WordCount, then WordCount 16-bit words
//   ..  2    ByteCount, then ByteCount bytes
// Bytes after the data block are tolerated, as servers do.
struct Request
{
    std::uint8_t command = 0;
    std::uint16_t pidHigh = 0;
    std::uint16_t tid = 0;
    std::uint16_t pidLow = 0;
    std::uint16_t uid = 0;
    std::uint16_t mid = 0;
    std::vector<std::uint16_t> words;
    std::vector<std::uint8_t> bytes;
};

std::optional<Request> decodeRequest(std::span<const std::uint8_t> smb);

// 0xD0 SEND MESSAGE (MS-MSRP 2.2.3.1.1): WordCount 0; bytes
//   0x04 OriginatorName NUL  0x04 DestinationName NUL  0x01 DataLength(LE16) Data
// Names longer than kMaxName make this and 0xD5 malformed.
struct SendMessage
{
    std::vector<std::uint8_t> from;
    std::vector<std::uint8_t> to;
    std::vector<std::uint8_t> data;
};
std::optional<SendMessage> decodeSend(const Request& request);

// 0xD5 START MB MESSAGE (2.2.3.2.1): WordCount 0; bytes 0x04 Originator NUL 0x04 Destination NUL
struct StartMessage
{
    std::vector<std::uint8_t> from;
    std::vector<std::uint8_t> to;
};
std::optional<StartMessage> decodeStart(const Request& request);

// 0xD7 TEXT MB MESSAGE (2.2.3.3.1): WordCount 1 MessageGroupId; bytes 0x01 DataLength Data.
// DataLength may exceed the 128 that senders keep to; it must fit in the bytes.
struct TextMessage
{
    std::uint16_t group = 0;
    std::vector<std::uint8_t> data;
};
std::optional<TextMessage> decodeText(const Request& request);

// 0xD6 END MB MESSAGE (2.2.3.4.1): WordCount 1 MessageGroupId; ByteCount 0.
std::optional<std::uint16_t> decodeEnd(const Request& request);

// Success reply: the request's command, PIDHigh, TID, PIDLow, UID and MID echoed, Flags 0x80,
// Status 0, the given words (0xD5: the group id), ByteCount 0.
std::vector<std::uint8_t> encodeReply(const Request& request,
                                      std::span<const std::uint16_t> words = {});
// Error reply in DOS form (requests carry no NT status capability): Status = ErrorClass, 0,
// ErrorCode (LE16); WordCount 0, ByteCount 0.
std::vector<std::uint8_t> encodeErrorReply(const Request& request, std::uint8_t errorClass,
                                           std::uint16_t errorCode);

} // namespace SmbServerMessage
