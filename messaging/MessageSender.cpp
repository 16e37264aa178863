#include "messaging/MessageSender.h"

#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/messenger/MessengerResult.h"
#include "platform/pointer/BusyPointer.h"

#include <QByteArray>
#include <QtEndian>

namespace {

// Empty names go to the platform as null pointers; null QStrings give exactly that.
QString nullWhenEmpty(const QString& field)
{
    return field.isEmpty() ? QString() : field;
}

// An empty but non-null string, so that the recipient is never passed as a null pointer.
QString emptyWhenNull(const QString& field)
{
    return field.isNull() ? QStringLiteral("") : field;
}

const char16_t* platformString(const QString& field)
{
    return field.isNull() ? nullptr : reinterpret_cast<const char16_t*>(field.utf16());
}

QByteArray utf16LittleEndian(const QString& text)
{
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    qToLittleEndian<char16_t>(text.utf16(), text.size(), bytes.data());
    return bytes;
}

} // namespace

MessageSender::MessageSender(Messenger& messenger, BusyPointer& pointer, StatusLine& status)
    : m_messenger(messenger), m_pointer(pointer), m_status(status)
{}

QString MessageSender::SendNetMessage(NetMessageRequest& request)
{
    if (request.MessageText.isEmpty())
        return QString();

    request.ServerName = nullWhenEmpty(request.ServerName);
    request.MsgName = emptyWhenNull(request.MsgName);
    request.FromName = nullWhenEmpty(request.FromName);
    const QByteArray buffer = utf16LittleEndian(request.MessageText);

    std::int32_t code = 0;
    {
        // Restored also when the call raises, so the error box is not shown under an hourglass.
        struct DefaultPointerOnExit
        {
            BusyPointer& pointer;
            ~DefaultPointerOnExit() { pointer.showDefault(); }
        };
        m_pointer.showWait();
        const DefaultPointerOnExit restore{m_pointer};
        code = m_messenger.NetMessageBufferSend(
            platformString(request.ServerName), platformString(request.MsgName),
            platformString(request.FromName),
            reinterpret_cast<const std::uint8_t*>(buffer.constData()),
            static_cast<std::uint32_t>(buffer.size()));
    }

    return DescribeSendResult(code);
}

QString MessageSender::DescribeSendResult(const std::int32_t& code)
{
    const QString text = statusText(code);
    m_status.setStatusCaption(text);
    m_status.setClearInterval(kStatusClearMs);
    return text;
}

QString MessageSender::statusText(std::int32_t code)
{
    switch (code) {
    case MessengerResult::kSuccess:
        return QStringLiteral("El Mensaje Fue Enviado");
    case MessengerResult::kAccessDenied:
        return QStringLiteral("Acceso Denegado a la PC");
    case MessengerResult::kNotSupported:
        return QStringLiteral("Network request not supported.");
    case MessengerResult::kBadNetPath:
        return QStringLiteral("Sent From server name not found.");
    case MessengerResult::kInvalidParameter:
        return QStringLiteral("Invalid parameter(s) specified.");
    case MessengerResult::kInvalidName:
        return QStringLiteral("Caracter No Valido");
    case MessengerResult::kNetworkError:
        return QStringLiteral("Error General de Red");
    case MessengerResult::kUseNotFound:
        return QStringLiteral("Sin Conecion de Red");
    case MessengerResult::kNameNotFound:
        return QStringLiteral("No Se Encontro al Usuario");
    default:
        return QStringLiteral("Unknown error executing command.");
    }
}
