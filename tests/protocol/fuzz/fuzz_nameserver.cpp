// What the name holder reads off UDP 137 from anyone on the LAN: queries, node status
// requests, registrations, releases and defences.

#include "FuzzCheck.h"
#include "protocol/NameServerPacket.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <variant>

namespace P = NameServerPacket;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto incoming = P::decode(std::span<const std::uint8_t>(data, size));
    if (!incoming)
        return 0;
    // The smallest packet with a header and one name is 12 + 34 + 4 bytes.
    FUZZ_CHECK(size >= 50);

    // Whatever was accepted can be answered or written back, and what we write reads back as
    // the same packet.
    std::visit(
        [](const auto& packet) {
            using T = std::decay_t<decltype(packet)>;
            if constexpr (std::is_same_v<T, P::Registration> || std::is_same_v<T, P::Release>) {
                const auto written = std::is_same_v<T, P::Registration>
                                         ? P::encodeRegistrationRequest(packet.transactionId,
                                                                        packet.name, packet.address)
                                         : P::encodeReleaseRequest(packet.transactionId,
                                                                   packet.name, packet.address);
                const auto again = P::decode(written);
                FUZZ_CHECK(again && std::holds_alternative<T>(*again));
                const auto& reread = std::get<T>(*again);
                FUZZ_CHECK(reread.name == packet.name && reread.address == packet.address &&
                           reread.transactionId == packet.transactionId && reread.broadcast);
                const auto defence = P::encodeNegativeRegistrationResponse(
                    packet.transactionId, packet.name, packet.nbFlags, packet.address);
                const auto parsed = P::decode(defence);
                FUZZ_CHECK(parsed && std::holds_alternative<P::NegativeRegistration>(*parsed));
                FUZZ_CHECK(std::get<P::NegativeRegistration>(*parsed).nbFlags == packet.nbFlags);
            } else if constexpr (std::is_same_v<T, P::NameQuery>) {
                const auto answer =
                    P::encodePositiveQueryResponse(packet.transactionId, packet.name, 1, 300000);
                FUZZ_CHECK(answer.size() == 62 && !P::decode(answer));
            } else if constexpr (std::is_same_v<T, P::NodeStatusRequest>) {
                const P::NodeStatusName names[] = {{packet.name}};
                const auto answer =
                    P::encodeNodeStatusResponse(packet.transactionId, packet.name, names);
                FUZZ_CHECK(answer.size() == 12 + 34 + 10 + 1 + 18 + 46 && !P::decode(answer));
            } else {
                FUZZ_CHECK(packet.rcode != 0 && packet.rcode <= 0xF);
            }
        },
        *incoming);
    return 0;
}
