#pragma once

#include <QObject>
#include <QString>

// Desktop notifications. Posting is best effort: where no notification server runs, nothing
// shows and nothing fails.
class Notifications : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // key comes back through activated() when the user opens the notification.
    virtual void notify(const QString& key, const QString& summary, const QString& body) = 0;

signals:
    void activated(const QString& key);
};
