#include "settings/SettingsStore.h"

#include <QMetaType>

namespace {

// Every operation runs with its errors ignored, even an allocation failure on a huge file.
template <typename Operation> void ignoringErrors(Operation&& operation)
{
    try {
        operation();
    } catch (...) {
    }
}

} // namespace

SettingsStore::SettingsStore(Registry& registry) : m_registry(registry) {}

QString SettingsStore::toText(const QVariant& data)
{
    switch (data.typeId()) {
    case QMetaType::QString:
        return data.toString();
    case QMetaType::QStringList:
        // A hand-written "a, b" comes back from the INI file as a list.
        return data.toStringList().join(QLatin1String(", "));
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant& item : data.toList())
            parts.append(toText(item));
        return parts.join(QLatin1String(", "));
    }
    default:
        return data.canConvert<QString>() ? data.toString() : QString();
    }
}

void SettingsStore::CreateKey(const QString& folder, const QString& Value)
{
    ignoringErrors([&] { m_registry.RegWrite(folder, Value); });
}

void SettingsStore::CreateIntegerKey(const QString& folder, const qint16& Value)
{
    ignoringErrors([&] { m_registry.RegWriteDword(folder, Value); });
}

QString SettingsStore::ReadKey(const QString& Value)
{
    QString text;
    ignoringErrors([&] { text = toText(m_registry.RegRead(Value)); });
    return text;
}

void SettingsStore::DeleteKey(const QString& Value)
{
    ignoringErrors([&] { m_registry.RegDelete(Value); });
}

QStringList SettingsStore::ReadKeys(const QStringList& paths)
{
    QStringList texts;
    ignoringErrors([&] {
        const QList<QVariant> values = m_registry.RegReadMany(paths);
        for (const QVariant& value : values)
            texts.append(toText(value));
    });
    // A read that failed part-way reads as empty values, never as a shorter list.
    while (texts.size() < paths.size())
        texts.append(QString());
    texts.resize(paths.size());
    return texts;
}

void SettingsStore::CreateKeys(const QList<Registry::Text>& values)
{
    ignoringErrors([&] { m_registry.RegWriteMany(values); });
}
