#pragma once

#include "platform/messenger/Messenger.h"

#include <QString>
#include <QtEndian>

// One call through the Messenger interface, the text as UTF-16LE bytes; a null QString is a
// null pointer.
inline std::int32_t sendThrough(Messenger& messenger, const QString& recipient, const QString& text,
                                const QString& sender = QString(),
                                const QString& server = QString())
{
    const auto pointer = [](const QString& s) {
        return s.isNull() ? nullptr : reinterpret_cast<const char16_t*>(s.utf16());
    };
    QByteArray buffer(text.size() * 2, Qt::Uninitialized);
    qToLittleEndian<char16_t>(text.utf16(), text.size(), buffer.data());
    return messenger.NetMessageBufferSend(pointer(server), pointer(recipient), pointer(sender),
                                          reinterpret_cast<const std::uint8_t*>(buffer.constData()),
                                          std::uint32_t(buffer.size()));
}
