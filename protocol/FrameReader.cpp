#include "protocol/FrameReader.h"

#include "protocol/SessionPacket.h"

void FrameReader::append(std::span<const std::uint8_t> bytes)
{
    if (m_failure != Status::NeedMore)
        return;
    // Drop the consumed bytes once they are at least half the buffer: each byte moves at most
    // once on average.
    if (m_start > 0 && m_start >= m_buffer.size() - m_start) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

FrameReader::Status FrameReader::next(SessionFrame& frame)
{
    while (m_failure == Status::NeedMore &&
           m_buffer.size() - m_start >= SessionPacket::kHeaderSize) {
        const auto header =
            SessionPacket::decodeHeader(std::span<const std::uint8_t, SessionPacket::kHeaderSize>(
                m_buffer.data() + m_start, SessionPacket::kHeaderSize));
        if (!header) {
            m_failure = Status::Malformed;
            break;
        }
        if (header->length > m_maxBody) {
            m_failure = Status::Oversized;
            break;
        }
        const std::size_t total = SessionPacket::kHeaderSize + header->length;
        if (m_buffer.size() - m_start < total)
            return Status::NeedMore;
        const auto body =
            std::span(m_buffer).subspan(m_start + SessionPacket::kHeaderSize, header->length);
        m_start += total;
        if (header->type != SessionPacket::kKeepAlive) {
            frame.type = header->type;
            frame.body.assign(body.begin(), body.end());
            return Status::Frame;
        }
    }
    if (m_failure != Status::NeedMore || m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return m_failure;
}
