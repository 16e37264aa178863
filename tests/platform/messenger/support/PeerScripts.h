#pragma once

#include "FakeSessionPeer.h"
#include "HexBytes.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// Building blocks for the scripts of fake receivers.
namespace PeerScripts {

using Bytes = std::vector<std::uint8_t>;

inline std::uint8_t commandOf(const PeerFrame& request)
{
    return request.body.size() > 4 ? request.body[4] : 0;
}

inline std::uint16_t midOf(const PeerFrame& request)
{
    return request.body.size() > 31 ? std::uint16_t(request.body[30] | (request.body[31] << 8)) : 0;
}

// A session message carrying an SMB reply to request.
inline Bytes reply(std::uint8_t command, std::uint16_t mid, std::uint32_t status = 0,
                   std::uint16_t flags2 = 0x4003, std::vector<std::uint16_t> words = {},
                   std::uint8_t flags = 0x80)
{
    Bytes smb = {0xFF, 'S', 'M', 'B', command};
    for (int i = 0; i < 4; ++i)
        smb.push_back(std::uint8_t(status >> (8 * i)));
    smb.push_back(flags);
    smb.push_back(std::uint8_t(flags2));
    smb.push_back(std::uint8_t(flags2 >> 8));
    smb.resize(smb.size() + 18, 0);
    smb.push_back(std::uint8_t(mid));
    smb.push_back(std::uint8_t(mid >> 8));
    smb.push_back(std::uint8_t(words.size()));
    for (const std::uint16_t word : words) {
        smb.push_back(std::uint8_t(word));
        smb.push_back(std::uint8_t(word >> 8));
    }
    smb.push_back(0);
    smb.push_back(0);
    return concat(
        {Bytes{0x00, 0x00, std::uint8_t(smb.size() >> 8), std::uint8_t(smb.size())}, smb});
}

inline Bytes successFor(const PeerFrame& request)
{
    return reply(commandOf(request), midOf(request));
}

inline void acceptSession(PeerConnection& connection)
{
    if (connection.readFrame())
        connection.send(hexBytes("82 00 00 00"));
}

// Reads requests until the client closes, answering each with answer(request) unless that is
// empty, in which case the script ends (the connection closes).
template <typename Answer> void answerEach(PeerConnection& connection, Answer answer)
{
    for (int i = 0; i < 200; ++i) {
        const auto request = connection.readFrame();
        if (!request)
            return;
        const Bytes response = answer(*request);
        if (response.empty())
            return;
        connection.send(response);
    }
}

// What a Samba receiver with a message command does.
inline void sambaLike(PeerConnection& connection)
{
    acceptSession(connection);
    answerEach(connection, successFor);
}

} // namespace PeerScripts
