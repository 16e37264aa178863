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
    // A hand-written "a, b" comes back from the INI file as a list.
    case QMetaType::QStringList:
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

namespace {

// One text per path: a read that failed part-way reads as empty values, never as a shorter
// list.
QStringList textsOf(const QList<QVariant>& values, qsizetype count)
{
    QStringList texts;
    texts.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        texts.append(i < values.size() ? SettingsStore::toText(values[i]) : QString());
    return texts;
}

} // namespace

QStringList SettingsStore::ReadKeys(const QStringList& paths)
{
    QList<QVariant> values;
    ignoringErrors([&] { values = m_registry.RegReadMany(paths); });
    return textsOf(values, paths.size());
}

void SettingsStore::CreateKeys(const QList<Registry::Text>& values)
{
    ignoringErrors([&] { m_registry.RegWriteMany(values); });
}

void SettingsStore::UpdateKeys(const QStringList& paths, const Merge& merge)
{
    ignoringErrors([&] {
        m_registry.RegUpdateMany(paths, [&](const QList<QVariant>& values) {
            return merge(textsOf(values, paths.size()));
        });
    });
}
