#include "app/inbox/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

namespace {

const QByteArray kRaise = QByteArrayLiteral("raise\n");

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), m_path(std::move(socketPath)), m_lock(m_path + QStringLiteral(".lock"))
{
    // A lock whose holder died is taken over at once; QLockFile checks the process id.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

SingleInstance::Role SingleInstance::claim()
{
    if (!m_lock.tryLock(0)) {
        if (m_lock.error() != QLockFile::LockFailedError)
            return Role::Failed;
        return askFirstToRaise() ? Role::Raised : Role::Failed;
    }
    // Under the lock, a socket file left behind is a dead instance's.
    QLocalServer::removeServer(m_path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(4);
    if (!m_server->listen(m_path))
        return Role::Failed;
    removeStaleSiblings();
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = m_server->nextPendingConnection()) {
            peer->setReadBufferSize(kRaise.size());
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            // A peer that never finishes its request is not waited for.
            QTimer::singleShot(kWaitMs, peer, [peer] { peer->abort(); });
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->bytesAvailable() < kRaise.size())
                    return;
                // Only the one request exists; anything else just closes the connection.
                if (peer->read(kRaise.size()) == kRaise)
                    emit raiseRequested();
                peer->disconnectFromServer();
            });
        }
    });
    return Role::First;
}

void SingleInstance::removeStaleSiblings()
{
    // Inboxes for other service sockets that died left their socket and lock behind; a lock
    // nobody holds any more is theirs to clear.
    const QFileInfo self(m_path);
    const QDir folder = self.absoluteDir();
    const QString pattern = QStringLiteral("vorelin-inbox-*.socket");
    for (const QString& name : folder.entryList({pattern}, QDir::System | QDir::Files)) {
        if (name == self.fileName())
            continue;
        const QString socket = folder.filePath(name);
        QLockFile lock(socket + QStringLiteral(".lock"));
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0))
            continue;
        QFile::remove(socket);
        lock.unlock();
    }
}

bool SingleInstance::askFirstToRaise()
{
    // The first instance may hold the lock and not listen yet: try for a bounded while.
    const QDeadlineTimer deadline(kWaitMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(m_path);
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(kRaise);
            return socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
        }
        QThread::msleep(50);
    }
    return false;
}
