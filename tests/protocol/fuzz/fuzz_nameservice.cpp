// Name-service answers as they come off UDP 137: positive and negative query responses,
// node-status name tables, a WINS server's answers, and second-level names with compression
// pointers.

#include "FuzzCheck.h"
#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"
#include "protocol/NameServerPacket.h"
#include "protocol/NameServicePacket.h"
#include "protocol/NetbiosName.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> packet(data, size);

    if (const auto response = NameServicePacket::decodeNameQueryResponse(packet)) {
        // The resolver takes the first address without looking.
        FUZZ_CHECK(!response->addresses.empty());
        FUZZ_CHECK(response->addresses.size() * 6 <= size);
    }

    if (const auto status = NameServicePacket::decodeNodeStatusResponse(packet)) {
        FUZZ_CHECK(status->names.size() <= 255);
        FUZZ_CHECK(status->names.size() * 18 <= size);
        for (const auto& entry : status->names)
            FUZZ_CHECK(entry.name.trimmedName().size() <= NetbiosName::kMaxNameBytes);
    }

    // A definite "no such name" is never also an address.
    if (const auto negative = NameServicePacket::decodeNegativeNameQueryResponse(packet)) {
        FUZZ_CHECK(negative->rcode != 0 && negative->rcode <= 0xF);
        FUZZ_CHECK(!NameServicePacket::decodeNameQueryResponse(packet));
    }

    if (const auto answer = NameServerPacket::decodeWinsAnswer(packet)) {
        using Kind = NameServerPacket::WinsAnswer::Kind;
        const bool positive = answer->kind == Kind::Granted || answer->kind == Kind::Wait ||
                              answer->kind == Kind::Released;
        FUZZ_CHECK(positive == (answer->rcode == 0) && size >= 12 + 34 + 10);
    }

    // A name at every offset of the first bytes: pointers may aim anywhere before it.
    for (std::size_t offset = 0; offset < size && offset < 64; ++offset) {
        ByteReader in(packet);
        in.seek(offset);
        const auto name = NetbiosName::read(in);
        if (!name)
            continue;
        FUZZ_CHECK(in.ok() && in.offset() > offset && in.offset() <= size);
        // What we write reads back as the same name.
        ByteWriter out;
        name->write(out);
        const auto written = out.take();
        FUZZ_CHECK(written.size() == 34);
        ByteReader again(written);
        const auto reread = NetbiosName::read(again);
        FUZZ_CHECK(reread && *reread == *name && again.remaining() == 0);
    }
    return 0;
}
