#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct SessionFrame
{
    std::uint8_t type = 0;
    std::vector<std::uint8_t> body;
};

// Cuts a byte stream into session frames, whatever pieces the bytes arrive in. Keep-alives are
// dropped here; a frame that announces more than maxBody bytes is refused before anything is
// allocated for it.
class FrameReader
{
public:
    enum class Status
    {
        NeedMore,
        Frame,
        Malformed,
        Oversized
    };

    explicit FrameReader(std::size_t maxBody) : m_maxBody(maxBody) {}

    void append(std::span<const std::uint8_t> bytes);
    // Forgets everything, for a new connection.
    void clear()
    {
        m_buffer.clear();
        m_start = 0;
        m_failure = Status::NeedMore;
    }
    // Frame: frame holds the next frame. Malformed and Oversized are final.
    Status next(SessionFrame& frame);

private:
    std::size_t m_maxBody;
    // Bytes before m_start are consumed; they are dropped only now and then, so that a stream
    // of keep-alives costs no copy of the buffer each.
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    Status m_failure = Status::NeedMore;
};
