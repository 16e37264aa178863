#include "app/inbox/InboxPaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace InboxPaths {

QString socketTag(const QString& socketPath)
{
    const QByteArray absolute = QFileInfo(socketPath).absoluteFilePath().toUtf8();
    return QString::fromLatin1(
        QCryptographicHash::hash(absolute, QCryptographicHash::Sha256).toHex().left(16));
}

QString historyFile(const QString& dataHome)
{
    return QDir(dataHome).filePath(QStringLiteral("vorelin/inbox.sqlite"));
}

QString instanceSocket(const QString& runtimeDir, const QString& socketPath)
{
    return QDir(runtimeDir)
        .filePath(QStringLiteral("vorelin-inbox-%1.socket").arg(socketTag(socketPath)));
}

} // namespace InboxPaths
