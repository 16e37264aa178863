#pragma once

#include <cstdint>

// This machine's name as the platform reports it into a caller's ANSI buffer: the service
// that GetComputerNameA gives on Windows.
class ComputerName
{
public:
    virtual ~ComputerName() = default;

    // buffer holds size bytes. On success the name and a terminating NUL are written to its
    // start, size becomes the name's length and the result is true. When the name and its NUL
    // do not fit, nothing is written, size becomes the bytes needed and the result is false.
    virtual bool GetComputerNameA(char* buffer, std::uint32_t& size) = 0;
};
