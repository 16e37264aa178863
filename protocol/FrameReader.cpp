#include "protocol/FrameReader.h"

#include "protocol/SessionPacket.h"

void FrameReader::append(std::span<const std::uint8_t> bytes)
{
    if (m_failure == Status::NeedMore)
        m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

FrameReader::Status FrameReader::next(SessionFrame& frame)
{
    while (m_failure == Status::NeedMore && m_buffer.size() >= SessionPacket::kHeaderSize) {
        const auto header = SessionPacket::decodeHeader(
            std::span<const std::uint8_t, SessionPacket::kHeaderSize>(m_buffer.data(), 4));
        if (!header) {
            m_failure = Status::Malformed;
            break;
        }
        if (header->length > m_maxBody) {
            m_failure = Status::Oversized;
            break;
        }
        const std::size_t total = SessionPacket::kHeaderSize + header->length;
        if (m_buffer.size() < total)
            return Status::NeedMore;
        const auto bodyBegin = m_buffer.begin() + SessionPacket::kHeaderSize;
        const auto bodyEnd = m_buffer.begin() + static_cast<std::ptrdiff_t>(total);
        if (header->type != SessionPacket::kKeepAlive) {
            frame.type = header->type;
            frame.body.assign(bodyBegin, bodyEnd);
            m_buffer.erase(m_buffer.begin(), bodyEnd);
            return Status::Frame;
        }
        m_buffer.erase(m_buffer.begin(), bodyEnd);
    }
    if (m_failure != Status::NeedMore)
        m_buffer.clear();
    return m_failure;
}
