#include "identity/LocalIdentity.h"

#include "identity/TrimAtNull.h"
#include "platform/network/ComputerName.h"
#include "platform/network/NetworkAdapters.h"

#include <QByteArrayView>

#include <array>

namespace {

// A platform-filled ANSI field as text: every byte of it, NULs included, then cut.
QString fieldText(const char* bytes, qsizetype size)
{
    return TrimAtNull(QString::fromLocal8Bit(QByteArrayView(bytes, size)));
}

} // namespace

QString GetLocalIPAddress(NetworkAdapters& adapters)
{
    const auto list = adapters.GetAdaptersInfo();
    if (!list)
        return {};
    for (const AdapterRecord& adapter : *list) {
        QString address = fieldText(adapter.ipAddress.data(), adapter.ipAddress.size());
        if (!address.isEmpty())
            return address;
    }
    return {};
}

QString GetLocalComputerName(ComputerName& computer)
{
    constexpr std::uint32_t kNameBytes = 16;
    // 16 bytes for the name plus the terminating NUL the platform call is given.
    std::array<char, kNameBytes + 1> buffer;
    buffer.fill(' ');
    buffer[kNameBytes] = '\0';
    std::uint32_t size = kNameBytes;
    computer.GetComputerNameA(buffer.data(), size);
    return fieldText(buffer.data(), kNameBytes);
}
