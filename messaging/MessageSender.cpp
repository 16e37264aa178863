#include "messaging/MessageSender.h"

#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/messenger/MessengerResult.h"
#include "platform/pointer/BusyPointer.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QScopeGuard>
#include <QThread>
#include <QtEndian>

#include <exception>
#include <thread>

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

// Drops the user's input to every object of the program while it is installed.
class InputDiscarder final : public QObject
{
public:
    explicit InputDiscarder(QCoreApplication& application) : m_application(application)
    {
        m_application.installEventFilter(this);
    }
    ~InputDiscarder() override { m_application.removeEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
        }
    }

private:
    QCoreApplication& m_application;
};

} // namespace

MessageSender::MessageSender(Messenger& messenger, BusyPointer& pointer, StatusLine& status,
                             int statusClearMs)
    : m_messenger(messenger), m_pointer(pointer), m_status(status), m_statusClearMs(statusClearMs)
{}

QString MessageSender::SendNetMessage(NetMessageRequest& request)
{
    if (request.MessageText.isEmpty() || m_sending)
        return QString();

    request.ServerName = nullWhenEmpty(request.ServerName);
    request.MsgName = emptyWhenNull(request.MsgName);
    request.FromName = nullWhenEmpty(request.FromName);
    const QByteArray buffer = utf16LittleEndian(request.MessageText);

    std::int32_t code = 0;
    m_pointer.showWait();
    m_sending = true;
    {
        // Restored also when the call raises, so the error box is not shown under an hourglass.
        const auto restore = qScopeGuard([this] {
            m_sending = false;
            m_pointer.showDefault();
        });
        code = callMessenger(request, buffer);
    }

    return DescribeSendResult(code);
}

std::int32_t MessageSender::callMessenger(const NetMessageRequest& request,
                                          const QByteArray& buffer)
{
    const auto call = [&] {
        return m_messenger.NetMessageBufferSend(
            platformString(request.ServerName), platformString(request.MsgName),
            platformString(request.FromName),
            reinterpret_cast<const std::uint8_t*>(buffer.constData()),
            static_cast<std::uint32_t>(buffer.size()));
    };
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread())
        return call();

    std::int32_t code = 0;
    std::exception_ptr error;
    QEventLoop wait;
    std::thread worker([&] {
        try {
            code = call();
        } catch (...) {
            error = std::current_exception();
        }
        QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
    });
    {
        const InputDiscarder discarder(*application);
        // Ends early only when the program is quitting; the call is still waited for, and it
        // is bounded by the messenger's own overall limit.
        wait.exec();
    }
    worker.join();
    if (error)
        std::rethrow_exception(error);
    return code;
}

QString MessageSender::DescribeSendResult(const std::int32_t& code)
{
    m_lastCode = code;
    const QString text = statusText(code);
    m_status.setStatusCaption(text);
    m_status.setClearInterval(m_statusClearMs);
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
