#include "app/inbox/InboxHistory.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kFormat = 1;
const QString kTempInfix = QStringLiteral(".tmp-");

QJsonObject toJson(const InboxMessage& message)
{
    return QJsonObject{
        {QStringLiteral("key"), message.key},
        {QStringLiteral("id"), message.id},
        {QStringLiteral("from"), message.from},
        {QStringLiteral("machine"), message.machine},
        {QStringLiteral("address"), message.address},
        {QStringLiteral("called"), message.called},
        {QStringLiteral("to"), message.to},
        {QStringLiteral("received"), message.received},
        {QStringLiteral("text"), message.text},
        {QStringLiteral("unread"), message.unread},
    };
}

// Null when a field is missing or of the wrong kind: such an entry was not written by us.
std::optional<InboxMessage> fromJson(const QJsonValue& value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    InboxMessage message;
    const std::pair<QLatin1StringView, QString*> fields[] = {
        {QLatin1StringView("key"), &message.key},
        {QLatin1StringView("id"), &message.id},
        {QLatin1StringView("from"), &message.from},
        {QLatin1StringView("machine"), &message.machine},
        {QLatin1StringView("address"), &message.address},
        {QLatin1StringView("called"), &message.called},
        {QLatin1StringView("to"), &message.to},
        {QLatin1StringView("received"), &message.received},
        {QLatin1StringView("text"), &message.text},
    };
    for (const auto& [name, target] : fields) {
        const QJsonValue field = object.value(name);
        if (!field.isString())
            return std::nullopt;
        *target = field.toString();
    }
    const QJsonValue unread = object.value(QLatin1StringView("unread"));
    if (!unread.isBool() || message.key.isEmpty())
        return std::nullopt;
    message.unread = unread.toBool();
    return message;
}

bool writeAll(int fd, const QByteArray& content)
{
    const char* data = content.constData();
    qsizetype left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

// A name beside path that no file holds yet.
QString setAsideName(const QString& path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(name) && n < 100; ++n)
        name = path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    return name;
}

} // namespace

bool writeFileDurably(const QString& path, const QByteArray& content)
{
    const QFileInfo info(path);
    const QByteArray directory = QFile::encodeName(info.absolutePath());
    QByteArray temp = QFile::encodeName(info.absoluteFilePath() + kTempInfix) + "XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed ||
        ::rename(temp.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    // The rename is durable once the directory is.
    const int dir = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool synced = ::fsync(dir) == 0;
    ::close(dir);
    return synced;
}

InboxHistory::InboxHistory(QString path) : m_path(std::move(path)) {}

InboxHistory::LoadResult InboxHistory::load()
{
    m_messages.clear();
    m_keepOff = false;
    const QFileInfo info(m_path);
    // Left by a save that was cut short; the file itself is whole.
    const QDir directory = info.absoluteDir();
    const QStringList leftovers = directory.entryList(
        {info.fileName() + kTempInfix + QStringLiteral("??????")}, QDir::Files | QDir::Hidden);
    for (const QString& leftover : leftovers)
        QFile::remove(directory.filePath(leftover));

    QFile file(m_path);
    if (!file.exists())
        return {Loaded::Missing, {}};
    if (!file.open(QIODevice::ReadOnly)) {
        m_keepOff = true;
        return {Loaded::Unreadable, {}};
    }

    bool damaged = file.size() > kMaxFileBytes;
    QJsonArray entries;
    if (!damaged) {
        const QByteArray content = file.read(kMaxFileBytes + 1);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(content, &error);
        const QJsonObject root = document.object();
        damaged = error.error != QJsonParseError::NoError || !document.isObject() ||
                  root.value(QLatin1StringView("format")).toInt() != kFormat ||
                  !root.value(QLatin1StringView("messages")).isArray();
        // Another format's entries are not read as this one's.
        if (!damaged)
            entries = root.value(QLatin1StringView("messages")).toArray();
    }
    file.close();

    for (const QJsonValue& entry : std::as_const(entries)) {
        if (m_messages.size() >= kMaxMessages)
            break;
        const auto message = fromJson(entry);
        if (message)
            m_messages.append(*message);
        else
            damaged = true;
    }
    if (!damaged)
        return {Loaded::Fine, {}};

    const QString aside = setAsideName(m_path);
    if (!QFile::rename(m_path, aside)) {
        m_keepOff = true;
        return {Loaded::Damaged, {}};
    }
    return {Loaded::Damaged, aside};
}

bool InboxHistory::save() const
{
    if (m_keepOff)
        return false;
    QJsonArray entries;
    for (const InboxMessage& message : m_messages)
        entries.append(toJson(message));
    const QJsonObject root{{QStringLiteral("format"), kFormat},
                           {QStringLiteral("messages"), entries}};
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return false;
    return writeFileDurably(m_path, QJsonDocument(root).toJson(QJsonDocument::Compact));
}

const InboxMessage* InboxHistory::find(const QString& key) const
{
    for (const InboxMessage& message : m_messages)
        if (message.key == key)
            return &message;
    return nullptr;
}

const InboxMessage* InboxHistory::findDelivery(const InboxMessage& delivery) const
{
    for (const InboxMessage& message : m_messages)
        if (message.sameDelivery(delivery))
            return &message;
    return nullptr;
}

QString InboxHistory::add(InboxMessage message)
{
    message.key = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_messages.prepend(std::move(message));
    while (m_messages.size() > kMaxMessages)
        m_messages.removeLast();
    return m_messages.first().key;
}

bool InboxHistory::markRead(const QString& key)
{
    for (InboxMessage& message : m_messages) {
        if (message.key == key) {
            const bool changed = message.unread;
            message.unread = false;
            return changed;
        }
    }
    return false;
}

bool InboxHistory::remove(const QString& key)
{
    return m_messages.removeIf([&key](const InboxMessage& m) { return m.key == key; }) > 0;
}

int InboxHistory::unreadCount() const
{
    return int(std::count_if(m_messages.cbegin(), m_messages.cend(),
                             [](const InboxMessage& m) { return m.unread; }));
}
