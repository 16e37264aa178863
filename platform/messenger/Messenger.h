#pragma once

#include <cstdint>

// The messenger send service: one call per message, shaped like the system call it stands in
// for. Null server and sender names mean "this machine"; the buffer is UTF-16LE text and
// buflen counts its bytes. The result is 0 when the message was delivered, otherwise a
// system or network error code.
class Messenger
{
public:
    virtual ~Messenger() = default;

    virtual std::int32_t NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                              const char16_t* fromname, const std::uint8_t* buf,
                                              std::uint32_t buflen) = 0;
};
