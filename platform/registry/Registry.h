#pragma once

#include <QList>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

// The current user's registry values, addressed by one path string as the Windows scripting
// shell takes it: root, key and value name separated by backslashes ("HKCU\Software\x\y\Name").
// Writes report whether they reached the disk; reads give an invalid QVariant for a malformed
// path, a missing value or an unreadable store. Callers decide what to do with a failure.
class Registry
{
public:
    struct Text
    {
        QString path;
        QString data;
    };

    virtual ~Registry() = default;

    // The value's data as stored: usually a QString, but a hand-edited store can hold a list
    // of strings, bytes or other kinds.
    virtual QVariant RegRead(const QString& path) = 0;
    // Stores text (REG_SZ), creating missing keys and replacing an existing value.
    virtual bool RegWrite(const QString& path, const QString& data) = 0;
    // Stores a 32-bit number (REG_DWORD).
    virtual bool RegWriteDword(const QString& path, qint32 data) = 0;
    // Removes the value; keys below a key of the same name stay.
    virtual bool RegDelete(const QString& path) = 0;

    // Reads many values at the cost of one: each store file involved is read once. The result
    // has one entry per path, in order.
    virtual QList<QVariant> RegReadMany(const QList<QString>& paths) = 0;
    // Writes many values as one unit: all of them land or none does, so a crash or power cut
    // in the middle leaves the old values whole. All paths must live in one store file;
    // otherwise nothing is written.
    virtual bool RegWriteMany(const QList<Text>& values) = 0;

    // The values to write, made from the values read; nothing means write nothing.
    using Update = std::function<std::optional<QList<Text>>(const QList<QVariant>& current)>;
    // Reads the values at paths and writes what update makes of them as one unit, holding the
    // store's lock from the read to the write so that no other writer's save falls between
    // them. Everything read and written must live in one store file. Fails, writing nothing,
    // when the lock is not had within a second.
    virtual bool RegUpdateMany(const QList<QString>& paths, const Update& update) = 0;
};
