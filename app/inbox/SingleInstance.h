#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// One inbox per user session and service socket. The first instance holds a lock file and
// listens on a socket beside it; a later one finds the lock taken, asks the first to come to
// the front and leaves. The first also clears what dead inboxes for other sockets left.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    static constexpr int kWaitMs = 2000;

    enum class Role
    {
        First,  // this process is the inbox
        Raised, // another one is and was asked to come forward
        Failed  // neither: the lock or the socket could not be used
    };

    explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
    ~SingleInstance() override;

    Role claim();

signals:
    void raiseRequested();

private:
    bool askFirstToRaise();
    void removeStaleSiblings();

    QString m_path;
    QLockFile m_lock;
    QLocalServer* m_server = nullptr;
};
