#pragma once

// Client-side packets for feeding the service, written from the protocol notes without the
// codec, so that a codec mistake cannot hide in both sides.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Wire {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

// Second-level NetBIOS name: 0x20, 32 letters 'A'+nibble, 0x00.
inline Bytes name(std::string_view nameText, std::uint8_t suffix)
{
    std::string padded(nameText.substr(0, 15));
    padded.resize(15, ' ');
    padded.push_back(static_cast<char>(suffix));
    Bytes out{0x20};
    for (const char c : padded) {
        const auto byte = static_cast<std::uint8_t>(c);
        out.push_back(static_cast<std::uint8_t>('A' + (byte >> 4)));
        out.push_back(static_cast<std::uint8_t>('A' + (byte & 0x0F)));
    }
    out.push_back(0);
    return out;
}

inline Bytes frame(std::uint8_t type, const Bytes& body)
{
    return Bytes{type, static_cast<std::uint8_t>((body.size() >> 16) & 1),
                 static_cast<std::uint8_t>(body.size() >> 8),
                 static_cast<std::uint8_t>(body.size())} +
           body;
}

inline Bytes sessionRequest(std::string_view called, std::uint8_t suffix = 0x03,
                            std::string_view calling = "SENDERBOX")
{
    return frame(0x81, name(called, suffix) + name(calling, 0x00));
}

inline Bytes le16(std::uint16_t v)
{
    return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

// An SMB request in a session message: header with PID 0x1234 and MID 7, then the words and
// bytes.
inline Bytes smb(std::uint8_t command, const std::vector<std::uint16_t>& words, const Bytes& bytes)
{
    Bytes out{0xFF, 'S', 'M', 'B', command};
    out.resize(out.size() + 4 + 1 + 2 + 2 + 8 + 2 + 2, 0); // Status .. TID
    out = out + le16(0x1234) + le16(0) + le16(7);          // PIDLow, UID, MID
    out.push_back(static_cast<std::uint8_t>(words.size()));
    for (const auto w : words)
        out = out + le16(w);
    out = out + le16(static_cast<std::uint16_t>(bytes.size())) + bytes;
    return frame(0x00, out);
}

inline Bytes string04(std::string_view s)
{
    return Bytes{0x04} + text(s) + Bytes{0x00};
}

inline Bytes block(const Bytes& data)
{
    return Bytes{0x01} + le16(static_cast<std::uint16_t>(data.size())) + data;
}

inline Bytes start(std::string_view from = "alice", std::string_view to = "VTEST")
{
    return smb(0xD5, {}, string04(from) + string04(to));
}
inline Bytes textBlock(const Bytes& data, std::uint16_t group = 1)
{
    return smb(0xD7, {group}, block(data));
}
inline Bytes end(std::uint16_t group = 1)
{
    return smb(0xD6, {group}, {});
}
inline Bytes single(const Bytes& data, std::string_view from = "alice",
                    std::string_view to = "VTEST")
{
    return smb(0xD0, {}, string04(from) + string04(to) + block(data));
}

// The whole multi-block exchange, in blocks of 128.
inline Bytes message(const Bytes& data, std::string_view from = "alice",
                     std::string_view to = "VTEST")
{
    Bytes out = start(from, to);
    for (std::size_t at = 0; at < data.size(); at += 128)
        out = out + textBlock(Bytes(data.begin() + long(at),
                                    data.begin() + long(std::min(data.size(), at + 128))));
    return out + end();
}

// The service's success reply to command (PID and MID echoed).
inline Bytes ok(std::uint8_t command, const std::vector<std::uint16_t>& words = {})
{
    Bytes out{0xFF, 'S', 'M', 'B', command, 0, 0, 0, 0, 0x80, 0, 0, 0, 0};
    out.resize(out.size() + 8 + 2 + 2, 0);
    out = out + le16(0x1234) + le16(0) + le16(7);
    out.push_back(static_cast<std::uint8_t>(words.size()));
    for (const auto w : words)
        out = out + le16(w);
    return frame(0x00, out + le16(0));
}

inline Bytes error(std::uint8_t command, std::uint8_t errorClass, std::uint16_t code)
{
    Bytes out{0xFF, 'S', 'M', 'B', command, errorClass, 0};
    out = out + le16(code) + Bytes{0x80, 0, 0, 0, 0};
    out.resize(out.size() + 8 + 2 + 2, 0);
    out = out + le16(0x1234) + le16(0) + le16(7) + Bytes{0} + le16(0);
    return frame(0x00, out);
}

inline const Bytes kPositive{0x82, 0, 0, 0};
inline Bytes negative(std::uint8_t code)
{
    return Bytes{0x83, 0, 0, 1, code};
}

// The replies to message(): start with group 1, one per block, end.
inline Bytes messageAccepted(std::size_t bytes)
{
    Bytes out = ok(0xD5, {1});
    for (std::size_t at = 0; at < bytes; at += 128)
        out = out + ok(0xD7);
    return out + ok(0xD6);
}

} // namespace Wire
