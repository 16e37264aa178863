#include "platform/notifications/LinuxNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

// Servers that support body markup would read '<' and '&' as tags.
QString plainBody(const QString& body, int limit)
{
    QString cut = body.left(limit);
    if (cut.size() < body.size())
        cut += QChar(0x2026);
    return cut.toHtmlEscaped();
}

} // namespace

LinuxNotifications::LinuxNotifications(const QDBusConnection& bus, const QString& desktopEntry,
                                       QObject* parent)
    : Notifications(parent), m_bus(bus), m_desktopEntry(desktopEntry)
{
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onClosed(uint, uint)));
}

void LinuxNotifications::notify(const QString& key, const QString& summary, const QString& body)
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), m_desktopEntry},
        {QStringLiteral("category"), QStringLiteral("im.received")},
    };
    call << QStringLiteral("Vorelin") << uint(0) << m_desktopEntry << summary
         << plainBody(body, kMaxBodyCharacters)
         << QStringList{kDefaultAction, tr("Abrir el mensaje")} << hints << int(-1);
    // Never block the window on the bus: the id comes back when it comes.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isValid())
                    track(reply.value(), key);
                finished->deleteLater();
            });
}

void LinuxNotifications::track(uint id, const QString& key)
{
    if (!m_keys.contains(id))
        m_order.append(id);
    m_keys.insert(id, key);
    while (m_order.size() > kMaxTracked)
        m_keys.remove(m_order.takeFirst());
}

void LinuxNotifications::onActionInvoked(uint id, const QString& action)
{
    const auto found = m_keys.constFind(id);
    if (found == m_keys.constEnd() || action != kDefaultAction)
        return;
    emit activated(found.value());
}

void LinuxNotifications::onClosed(uint id, uint)
{
    // Some servers send ActionInvoked and then NotificationClosed for the same id; the action
    // has been handled by then.
    if (m_keys.remove(id) > 0)
        m_order.removeOne(id);
}
