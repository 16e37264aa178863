// What vorelind reads off UDP 138 from anyone on the LAN: NetBIOS datagrams, of which it keeps
// messenger mailslot writes.

#include "FuzzCheck.h"
#include "protocol/MailslotDatagram.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto received = MailslotDatagram::decode(std::span<const std::uint8_t>(data, size));
    if (!received)
        return 0;
    const auto& message = received->message;
    // Header, two names, the SMB up to the mailslot name and two NULs of body at least.
    FUZZ_CHECK(size >= 14 + 68 + 87 + 2 && size <= MailslotDatagram::kMaxDatagramBytes);
    FUZZ_CHECK(!message.from.empty() && message.from.size() <= 15 && message.to.size() <= 15);
    FUZZ_CHECK(message.from.size() + message.to.size() + message.text.size() + 2 <= size);

    // What we accept, we can write again as a group message that reads back the same, when
    // it fits the size we send.
    if (const auto written = MailslotDatagram::encode(message)) {
        const auto again = MailslotDatagram::decode(*written);
        FUZZ_CHECK(again && again->group);
        FUZZ_CHECK(again->message.from == message.from && again->message.to == message.to &&
                   again->message.text == message.text &&
                   again->message.destination == message.destination &&
                   again->message.datagramId == message.datagramId);
    }
    return 0;
}
