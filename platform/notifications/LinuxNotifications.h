#pragma once

#include "platform/notifications/Notifications.h"

#include <QDBusConnection>
#include <QHash>
#include <QList>

// org.freedesktop.Notifications on the session bus: Notify with a "default" action, and
// ActionInvoked for that action turned back into the key it was posted with.
class LinuxNotifications final : public Notifications
{
    Q_OBJECT

public:
    // Keys of notifications still open; the oldest are forgotten beyond this.
    static constexpr int kMaxTracked = 256;
    // Servers show a few lines; the rest would only cost bus traffic.
    static constexpr int kMaxBodyCharacters = 300;

    explicit LinuxNotifications(const QDBusConnection& bus, const QString& desktopEntry,
                                QObject* parent = nullptr);

    void notify(const QString& key, const QString& summary, const QString& body) override;

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:
    void track(uint id, const QString& key);

    QDBusConnection m_bus;
    QString m_desktopEntry;
    QHash<uint, QString> m_keys;
    QList<uint> m_order;
};
