#include "DurableWrite.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

bool durableWrite(const QString& folder, const QByteArray& bytes)
{
    const QByteArray directory = QFile::encodeName(folder);
    const QByteArray fresh = directory + "/anchor.new";
    const QByteArray target = directory + "/anchor.conf";
    const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written =
        ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(fresh.constData(), target.constData()) != 0)
        return false;
    const int dir = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool synced = ::fsync(dir) == 0;
    return ::close(dir) == 0 && synced;
}
