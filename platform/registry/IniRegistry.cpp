#include "platform/registry/IniRegistry.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSettings>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;

    bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(const QString& fileName)
{
    struct stat status
    {};
    if (::stat(QFile::encodeName(fileName).constData(), &status) != 0)
        return {};
    return {status.st_dev, status.st_ino, true};
}

// fsync on the directory makes a rename inside it durable.
bool syncDirectory(const QString& directory)
{
    const int fd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Applies change to the file's values and replaces the file with the result in one step.
template <typename Change> bool replaceFile(const QString& fileName, Change&& change)
{
    const QString directory = QFileInfo(fileName).absolutePath();
    if (!QDir().mkpath(directory))
        return false;
    const FileIdentity before = identityOf(fileName);
    {
        QSettings settings(fileName, QSettings::IniFormat);
        if (!change(settings))
            return false;
        settings.sync();
        // A format error from reading a hand-edited file hides any later error (QSettings keeps
        // the first), so the check below looks at the file itself.
        if (settings.status() == QSettings::AccessError)
            return false;
    }
    // QSettings only ever renames a new file into place, so success means a new inode.
    const FileIdentity after = identityOf(fileName);
    if (!after.exists || after == before)
        return false;
    return syncDirectory(directory);
}

} // namespace

std::optional<IniRegistry::Location> IniRegistry::locate(const QString& path)
{
    const QStringList parts = path.split(u'\\');
    // Root, at least one key, and the value name.
    if (parts.size() < 3 || !isRoot(parts.first()))
        return std::nullopt;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.contains(u'/'))
            return std::nullopt;
    }
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
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
    for (const QString& path : paths) {
        const auto location = locate(path);
        if (!location) {
            values.append(QVariant());
            continue;
        }
        auto& settings = files[location->fileName];
        if (!settings)
            settings = std::make_shared<QSettings>(location->fileName, QSettings::IniFormat);
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
    if (!location)
        return false;
    return replaceFile(location->fileName, [&](QSettings& settings) {
        settings.setValue(location->key, data);
        return true;
    });
}

bool IniRegistry::RegWriteMany(const QList<Text>& values)
{
    if (values.isEmpty())
        return false;
    QList<Location> locations;
    locations.reserve(values.size());
    for (const Text& value : values) {
        const auto location = locate(value.path);
        if (!location)
            return false;
        if (!locations.isEmpty() && location->fileName != locations.first().fileName)
            return false;
        locations.append(*location);
    }
    return replaceFile(locations.first().fileName, [&](QSettings& settings) {
        for (qsizetype i = 0; i < values.size(); ++i)
            settings.setValue(locations[i].key, values[i].data);
        return true;
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
