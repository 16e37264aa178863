#pragma once

#include "platform/registry/Registry.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Single values in the current user's registry, each addressed by one full path
// ("HKCU\Software\combo\Vorelin\List0"). No operation ever reports a failure: a failed write
// does nothing and a failed read is an empty string, so callers simply carry on.
// Nothing is kept between calls; the registry is asked anew every time.
class SettingsStore
{
public:
    explicit SettingsStore(Registry& registry);

    // Stores the text Value at the path folder, creating missing keys.
    void CreateKey(const QString& folder, const QString& Value);
    // Stores Value as a 32-bit number (REG_DWORD).
    void CreateIntegerKey(const QString& folder, const qint16& Value);
    // The text stored at the path Value, or an empty string when there is none.
    QString ReadKey(const QString& Value);
    // Removes the value at the path Value.
    void DeleteKey(const QString& Value);

    // ReadKey for many paths with one read of the store; one text per path, in order.
    QStringList ReadKeys(const QStringList& paths);
    // CreateKey for many values as one unit: afterwards the store holds all of them or, when
    // the write fails, none (the old values stay whole). All paths must share one key's store.
    void CreateKeys(const QList<Registry::Text>& values);

    using Merge = std::function<std::optional<QList<Registry::Text>>(const QStringList& stored)>;
    // ReadKeys and then CreateKeys of what merge makes of the texts read, holding the store's
    // lock in between so that no other writer's save falls there. When the lock is not had
    // within a second, merge is not called and nothing is written; nor when merge gives
    // nothing.
    void UpdateKeys(const QStringList& paths, const Merge& merge);

    // The text form of stored data: lists are joined the way QSettings writes them (", "),
    // anything without a text form is empty.
    static QString toText(const QVariant& data);

private:
    Registry& m_registry;
};
