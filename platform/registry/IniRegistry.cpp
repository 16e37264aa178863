#include "platform/registry/IniRegistry.h"

#include "platform/files/DurableFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

namespace {

bool isRoot(const QString& name)
{
    return name.compare(QLatin1String("HKCU"), Qt::CaseInsensitive) == 0 ||
           name.compare(QLatin1String("HKEY_CURRENT_USER"), Qt::CaseInsensitive) == 0;
}

bool isSoftware(const QString& name)
{
    return name.compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0;
}

bool isFileName(const QString& name)
{
    return name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QChar(u'\0'));
}

using Location = IniRegistry::Location;

std::optional<Location> locateIn(const QString& path, const QString& config)
{
    const QStringList parts = path.split(u'\\');
    // Root, at least one key, and the value name.
    if (parts.size() < 3 || !isRoot(parts.first()))
        return std::nullopt;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.contains(u'/'))
            return std::nullopt;
    }
    if (config.isEmpty())
        return std::nullopt;

    const QStringList keys = parts.mid(1, parts.size() - 2);
    const QString& name = parts.last();
    if (keys.size() >= 3 && isSoftware(keys[0])) {
        if (!isFileName(keys[1]) || !isFileName(keys[2]))
            return std::nullopt;
        QStringList inFile = keys.mid(3);
        inFile.append(name);
        return Location{config + u'/' + keys[1] + u'/' + keys[2] + QLatin1String(".conf"),
                        inFile.join(u'/')};
    }
    if (keys.size() == 2 && isSoftware(keys[0])) {
        if (!isFileName(keys[1]))
            return std::nullopt;
        return Location{config + u'/' + keys[1] + QLatin1String(".conf"), name};
    }
    QStringList inFile = keys;
    inFile.append(name);
    return Location{config + QLatin1String("/HKCU.conf"), inFile.join(u'/')};
}

// Locates many paths with one look-up of the config directory; values of the same key (all
// of the history) cost a look at their name only.
class Locator
{
public:
    std::optional<Location> operator()(const QString& path)
    {
        const qsizetype cut = path.lastIndexOf(u'\\');
        const QStringView name = QStringView(path).mid(cut + 1);
        if (m_key && cut > 0 && QStringView(path).left(cut) == m_key->path && !name.isEmpty() &&
            !name.contains(u'/'))
            return Location{m_key->fileName, m_key->group + name.toString()};
        std::optional<Location> location = locateIn(path, m_config);
        if (location)
            m_key = Key{path.left(cut), location->fileName,
                        location->key.chopped(path.size() - cut - 1)};
        return location;
    }

private:
    struct Key
    {
        QString path;
        QString fileName;
        QString group;
    };

    QString m_config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    std::optional<Key> m_key;
};

// A save never waits longer than this for the lock: it runs on the GUI thread.
constexpr std::chrono::milliseconds kLockWait{750};
// Larger files are not read back for a save, and so never replaced by one.
constexpr qsizetype kMaxFileSize = 64 * 1024 * 1024;

enum class Kind
{
    Missing,
    File,
    Other
};

Kind kindAt(const QString& path, bool followLink)
{
    struct stat status
    {};
    const QByteArray name = QFile::encodeName(path);
    const int result =
        followLink ? ::stat(name.constData(), &status) : ::lstat(name.constData(), &status);
    if (result != 0)
        return errno == ENOENT ? Kind::Missing : Kind::Other;
    return S_ISREG(status.st_mode) ? Kind::File : Kind::Other;
}

struct Contents
{
    QByteArray bytes;
    mode_t mode = 0600;
};

// The file as it is now; nothing when it is not a plain file that can be read whole. Opening
// without blocking keeps a FIFO at the path from stopping the caller.
std::optional<Contents> readWhole(const QString& fileName)
{
    const int fd =
        ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? std::optional<Contents>(Contents{}) : std::nullopt;
    std::optional<Contents> contents;
    struct stat status
    {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= kMaxFileSize) {
        Contents read{QByteArray(qsizetype(status.st_size) + 1, Qt::Uninitialized),
                      mode_t(status.st_mode & 07777)};
        qsizetype got = 0;
        ssize_t n = 0;
        // The file may grow while it is read; one byte of room tells.
        while (got < read.bytes.size()) {
            n = ::read(fd, read.bytes.data() + got, size_t(read.bytes.size() - got));
            if (n > 0)
                got += n;
            else if (n == 0 || errno != EINTR)
                break;
        }
        // n < 0 only when the read failed.
        if (n >= 0 && got <= qsizetype(status.st_size)) {
            read.bytes.truncate(got);
            contents = std::move(read);
        }
    }
    ::close(fd);
    return contents;
}

// The file's device and inode; nothing when there is no file.
std::optional<std::pair<dev_t, ino_t>> identityOf(const QString& fileName)
{
    struct stat status
    {};
    if (::stat(QFile::encodeName(fileName).constData(), &status) != 0)
        return std::nullopt;
    return std::pair(status.st_dev, status.st_ino);
}

// Applies change to the file's values and replaces the file with the result in one step,
// holding the file's lock from reading it to the rename. QSettings would take that same lock
// itself and wait on it without end, so it only ever writes a private copy.
template <typename Change> bool replaceFile(const QString& fileName, Change&& change)
{
    // A config file linked from elsewhere is written where it lives, as QSettings does.
    const QFileInfo link(fileName);
    const QString target = link.isSymLink() ? link.symLinkTarget() : fileName;
    const QString directory = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(directory))
        return false;

    // QLockFile reads a lock it finds to judge whether it is stale: a FIFO there would block
    // that read, and a directory is never a lock that can be had.
    const QString lockName = fileName + QLatin1String(".lock");
    if (kindAt(lockName, false) == Kind::Other)
        return false;
    QLockFile lock(lockName);
    if (!lock.tryLock(kLockWait))
        return false;

    const std::optional<Contents> current = readWhole(target);
    if (!current)
        return false;
    QTemporaryFile copy(target + QLatin1String(".XXXXXX"));
    // A short copy would be taken for the whole file and written back short.
    if (!copy.open() || copy.write(current->bytes) != current->bytes.size() || !copy.flush() ||
        ::fchmod(copy.handle(), current->mode) != 0)
        return false;
    copy.close();
    const QString copyName = copy.fileName();

    const auto before = identityOf(copyName);
    {
        QSettings settings(copyName, QSettings::IniFormat);
        if (!change(settings))
            return false;
        settings.sync();
        // A format error from reading a hand-edited file hides any later error (QSettings keeps
        // the first), so the check below looks at the file itself.
        if (settings.status() == QSettings::AccessError)
            return false;
    }
    // QSettings only ever renames a new, synced file into place, so success means a new inode.
    const auto after = identityOf(copyName);
    if (!after || after == before)
        return false;
    return DurableFile::replace(QFile::encodeName(copyName).toStdString(),
                                QFile::encodeName(target).toStdString());
}

// Where each path lands, when all of them land in one file.
std::optional<QList<IniRegistry::Location>> locateInOneFile(const QList<QString>& paths)
{
    QList<IniRegistry::Location> locations;
    locations.reserve(paths.size());
    Locator locate;
    for (const QString& path : paths) {
        const auto location = locate(path);
        if (!location)
            return std::nullopt;
        if (!locations.isEmpty() && location->fileName != locations.first().fileName)
            return std::nullopt;
        locations.append(*location);
    }
    if (locations.isEmpty())
        return std::nullopt;
    return locations;
}

QList<QString> pathsOf(const QList<Registry::Text>& values)
{
    QList<QString> paths;
    paths.reserve(values.size());
    for (const Registry::Text& value : values)
        paths.append(value.path);
    return paths;
}

bool setAll(QSettings& settings, const QString& fileName, const QList<Registry::Text>& values)
{
    const auto locations = locateInOneFile(pathsOf(values));
    if (!locations || locations->first().fileName != fileName)
        return false;
    for (qsizetype i = 0; i < values.size(); ++i)
        settings.setValue((*locations)[i].key, values[i].data);
    return true;
}

} // namespace

std::optional<IniRegistry::Location> IniRegistry::locate(const QString& path)
{
    return locateIn(path, QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

QVariant IniRegistry::RegRead(const QString& path)
{
    return RegReadMany({path}).value(0);
}

QList<QVariant> IniRegistry::RegReadMany(const QList<QString>& paths)
{
    QList<QVariant> values;
    values.reserve(paths.size());
    // One QSettings per file: it reads the file once, when it is made.
    QHash<QString, std::shared_ptr<QSettings>> files;
    Locator locate;
    for (const QString& path : paths) {
        const auto location = locate(path);
        if (!location) {
            values.append(QVariant());
            continue;
        }
        auto& settings = files[location->fileName];
        if (!settings) {
            // QSettings opens the file blocking: a FIFO there would stop the caller for good.
            if (kindAt(location->fileName, true) == Kind::Other) {
                values.append(QVariant());
                continue;
            }
            settings = std::make_shared<QSettings>(location->fileName, QSettings::IniFormat);
        }
        values.append(settings->value(location->key));
    }
    return values;
}

bool IniRegistry::RegWrite(const QString& path, const QString& data)
{
    return RegWriteMany({{path, data}});
}

bool IniRegistry::RegWriteDword(const QString& path, qint32 data)
{
    const auto location = locate(path);
    return location && replaceFile(location->fileName, [&](QSettings& settings) {
               settings.setValue(location->key, data);
               return true;
           });
}

bool IniRegistry::RegWriteMany(const QList<Text>& values)
{
    return RegUpdateMany(pathsOf(values), [&](const QList<QVariant>&) { return values; });
}

bool IniRegistry::RegUpdateMany(const QList<QString>& paths, const Update& update)
{
    const auto locations = locateInOneFile(paths);
    if (!locations || !update)
        return false;
    const QString& fileName = locations->first().fileName;
    return replaceFile(fileName, [&](QSettings& settings) {
        QList<QVariant> current;
        current.reserve(locations->size());
        for (const Location& location : *locations)
            current.append(settings.value(location.key));
        const std::optional<QList<Text>> values = update(current);
        return values && setAll(settings, fileName, *values);
    });
}

bool IniRegistry::RegDelete(const QString& path)
{
    const auto location = locate(path);
    if (!location || !QFileInfo::exists(location->fileName))
        return false;
    return replaceFile(location->fileName, [&](QSettings& settings) {
        if (!settings.contains(location->key))
            return false;
        // QSettings::remove also drops every key below the name; in the registry a value and a
        // subkey of the same name are unrelated, so the subkey's values are put back.
        settings.beginGroup(location->key);
        QList<std::pair<QString, QVariant>> below;
        for (const QString& key : settings.allKeys())
            below.append({key, settings.value(key)});
        settings.endGroup();
        settings.remove(location->key);
        for (const auto& [key, value] : below)
            settings.setValue(location->key + u'/' + key, value);
        return true;
    });
}
