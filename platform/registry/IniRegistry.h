#pragma once

#include "platform/registry/Registry.h"

#include <optional>

class QSettings;

// The current user's registry on Linux: values kept in the INI files of the user's config
// directory ($XDG_CONFIG_HOME, by default ~/.config), read and written with QSettings.
//
// Where a path lands:
// clang-format off
//   path                                         file                       QSettings key
//   HKCU\Software\<org>\<app>\[<key>\...]<name>  <config>/<org>/<app>.conf  <key>/.../<name>
//   HKCU\Software\<org>\<name>                   <config>/<org>.conf        <name>
//   any other HKCU\<key>\...\<name>              <config>/HKCU.conf         <key>/.../<name>
// clang-format on
// The first is the file that QSettings(<org>, <app>) itself uses, so a Qt program (or a
// person with a text editor) finds the values where it expects them; on Windows those same
// names are the registry key. "HKCU" may also be spelt HKEY_CURRENT_USER, in any case, and so
// may "Software"; all other names are case-sensitive here, unlike in the registry.
//
// Refused (fail silently): other roots, empty names, names holding '/' (QSettings' group
// separator) and "." or ".." as a file name.
//
// Nothing is kept between calls. Every write replaces the whole file atomically, under the
// file's lock "<file>.lock" (the one QSettings takes): the values are written to a new file,
// which is synced and renamed over the old one, and the directory is synced so that the
// rename itself survives a power cut. A lock that cannot be had within a second (held,
// stale and unremovable, or not a file) fails the write. Something other than a file at the
// file's path (a FIFO, a device) reads as no values and is never replaced.
class IniRegistry final : public Registry
{
public:
    struct Location
    {
        QString fileName;
        QString key;
    };

    // The file and the QSettings key for path, or nothing when the path is refused. The
    // config directory is looked up anew on every call.
    static std::optional<Location> locate(const QString& path);

    QVariant RegRead(const QString& path) override;
    bool RegWrite(const QString& path, const QString& data) override;
    bool RegWriteDword(const QString& path, qint32 data) override;
    bool RegDelete(const QString& path) override;
    QList<QVariant> RegReadMany(const QList<QString>& paths) override;
    bool RegWriteMany(const QList<Text>& values) override;
    bool RegUpdateMany(const QList<QString>& paths, const Update& update) override;
};
