#include "app/inbox/InboxHistory.h"

#include "platform/files/DurableFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>

#include <atomic>

namespace {

// 2: each message names its burst, so that the list is grouped without reading the history.
constexpr int kSchema = 2;
constexpr int kJsonFormat = 1;
// The history files of earlier versions: one message is at most a 64 KiB protocol line, and
// they kept 1,000.
constexpr qint64 kMaxJsonBytes = qint64(1000) * 72 * 1024;
const QString kColumns =
    QStringLiteral("key, id, sender, machine, address, called, recipient, received, body, unread");
const QString kQualifiedColumns =
    QStringLiteral("messages.") +
    QString(kColumns).replace(QStringLiteral(", "), QStringLiteral(", messages."));

// The text fields in the order of kColumns, by their names in the earlier JSON files.
const std::pair<QLatin1StringView, QString InboxMessage::*> kFields[] = {
    {QLatin1StringView("key"), &InboxMessage::key},
    {QLatin1StringView("id"), &InboxMessage::id},
    {QLatin1StringView("from"), &InboxMessage::from},
    {QLatin1StringView("machine"), &InboxMessage::machine},
    {QLatin1StringView("address"), &InboxMessage::address},
    {QLatin1StringView("called"), &InboxMessage::called},
    {QLatin1StringView("to"), &InboxMessage::to},
    {QLatin1StringView("received"), &InboxMessage::received},
    {QLatin1StringView("text"), &InboxMessage::text},
};

// Null when a field is missing or of the wrong kind: such an entry was not written by us.
std::optional<InboxMessage> fromJson(const QJsonValue& value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    InboxMessage message;
    for (const auto& [name, field] : kFields) {
        const QJsonValue stored = object.value(name);
        if (!stored.isString())
            return std::nullopt;
        message.*field = stored.toString();
    }
    const QJsonValue unread = object.value(QLatin1StringView("unread"));
    if (!unread.isBool() || message.key.isEmpty())
        return std::nullopt;
    message.unread = unread.toBool();
    return message;
}

// What can be read of an earlier version's history file, newest first.
QList<InboxMessage> readJson(const QString& path)
{
    QFile file(path);
    if (file.size() > kMaxJsonBytes || !file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject root = QJsonDocument::fromJson(file.read(kMaxJsonBytes + 1)).object();
    if (root.value(QLatin1StringView("format")).toInt() != kJsonFormat)
        return {};
    QList<InboxMessage> messages;
    for (const QJsonValue& entry : root.value(QLatin1StringView("messages")).toArray())
        if (const auto message = fromJson(entry))
            messages.append(*message);
    return messages;
}

// A row of the columns, and for a list line the count and unread mark after them.
void read(const QSqlQuery& query, InboxMessage& message)
{
    int column = 0;
    for (const auto& field : kFields)
        message.*field.second = query.value(column++).toString();
    message.unread = query.value(column).toBool();
}

void read(const QSqlQuery& query, InboxHistory::Entry& entry)
{
    read(query, entry.newest);
    entry.count = query.value(10).toInt();
    entry.anyUnread = query.value(11).toBool();
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

// A burst is named by the seq of its first message.
const QString kBurstIndex = QStringLiteral("CREATE INDEX bursts ON messages (burst, seq, unread)");

QSqlDatabase connectTo(const QString& name, const QString& file)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(file);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    db.open();
    return db;
}

// Reads every page: its cost grows with the history.
bool quickCheck(QSqlQuery& query)
{
    const bool ok = query.exec(QStringLiteral("PRAGMA quick_check")) && query.next() &&
                    query.value(0).toString() == QLatin1String("ok");
    query.finish();
    return ok;
}

bool exec(QSqlDatabase db, const QString& statement)
{
    QSqlQuery query(db);
    return query.exec(statement);
}

bool inOneTransaction(QSqlDatabase db, const QStringList& statements)
{
    if (!db.transaction())
        return false;
    for (const QString& statement : statements) {
        if (!exec(db, statement)) {
            db.rollback();
            return false;
        }
    }
    return db.commit();
}

} // namespace

InboxHistory::InboxHistory(QString path, Limits limits) : m_path(std::move(path)), m_limits(limits)
{
    static std::atomic<int> next{0};
    m_connection = QStringLiteral("inbox-history-%1").arg(next++);
}

InboxHistory::~InboxHistory()
{
    close();
}

void InboxHistory::close()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
    m_open = false;
}

bool InboxHistory::open(const QString& file, Check check)
{
    QSqlDatabase db = connectTo(m_connection, file);
    if (!db.isOpen())
        return false;
    // A commit is on the disk before it returns: an acknowledged message is never lost.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next())
        return false;
    query.finish();
    if (!exec(db, QStringLiteral("PRAGMA synchronous=FULL")))
        return false;
    if (check == Check::Now && !quickCheck(query))
        return false;
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return false;
    const int version = query.value(0).toInt();
    query.finish();
    if (version == 0)
        return createSchema();
    if (version == 1)
        return addBursts();
    return version == kSchema;
}

bool InboxHistory::createSchema()
{
    // seq orders the messages by arrival; (id, received) names one delivery of the service.
    return inOneTransaction(
        QSqlDatabase::database(m_connection, false),
        {QStringLiteral("CREATE TABLE messages (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                        "key TEXT NOT NULL UNIQUE, id TEXT NOT NULL, sender TEXT, "
                        "machine TEXT, address TEXT NOT NULL, called TEXT, "
                        "recipient TEXT, received TEXT NOT NULL, body TEXT, "
                        "unread INTEGER NOT NULL, burst INTEGER, UNIQUE (id, received))"),
         QStringLiteral("CREATE INDEX unread_by_age ON messages (unread, seq)"),
         QStringLiteral("CREATE INDEX by_source ON messages (address, seq)"), kBurstIndex,
         QStringLiteral("PRAGMA user_version=%1").arg(kSchema)});
}

bool InboxHistory::addBursts()
{
    // A history of the first version: each message's burst is worked out once from the times.
    return inOneTransaction(
        QSqlDatabase::database(m_connection, false),
        {QStringLiteral("ALTER TABLE messages ADD COLUMN burst INTEGER"),
         QStringLiteral(
             "WITH m AS (SELECT seq, address, CASE WHEN (julianday(received) - "
             "julianday(lag(received) OVER w)) * 86400 <= %1 THEN 0 ELSE 1 END AS start "
             "FROM messages WINDOW w AS (PARTITION BY address ORDER BY seq)), "
             "b AS (SELECT seq, address, sum(start) OVER (PARTITION BY address ORDER BY "
             "seq) AS k FROM m), "
             "f AS (SELECT seq, min(seq) OVER (PARTITION BY address, k) AS first FROM b) "
             "UPDATE messages SET burst = f.first FROM f WHERE f.seq = messages.seq")
             .arg(kBurstGapSeconds),
         kBurstIndex, QStringLiteral("PRAGMA user_version=%1").arg(kSchema)});
}

InboxHistory::LoadResult InboxHistory::inMemory(Loaded outcome)
{
    close();
    m_inMemory = true;
    m_open = open(QStringLiteral(":memory:"), Check::Now);
    return {outcome, {}, 0};
}

InboxHistory::LoadResult InboxHistory::load(Check check)
{
    close();
    m_inMemory = false;
    const QFileInfo info(m_path);
    const bool existed = info.exists();
    if (!QDir().mkpath(info.absolutePath()) || (existed && !info.isReadable()))
        return inMemory(Loaded::Unreadable);
    if (open(m_path, existed ? check : Check::Now)) {
        m_open = true;
        if (existed)
            return {Loaded::Fine, {}, 0};
        DurableFile::sync(QFile::encodeName(info.absolutePath()).toStdString(), true);
        return {Loaded::Missing, {}, importJson()};
    }
    return existed ? setAside() : inMemory(Loaded::Unreadable);
}

bool InboxHistory::intact(const QString& path)
{
    static std::atomic<int> next{0};
    const QString name = QStringLiteral("inbox-history-check-%1").arg(next++);
    bool ok = false;
    {
        QSqlDatabase db = connectTo(name, path);
        QSqlQuery query(db);
        ok = db.isOpen() && quickCheck(query);
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

InboxHistory::LoadResult InboxHistory::setAside()
{
    close();
    const QFileInfo info(m_path);
    // What cannot be read is kept aside for a look, with the journal that belongs to it.
    const QString aside = setAsideName(m_path);
    if (!QFile::rename(m_path, aside))
        return inMemory(Loaded::Damaged);
    for (const QString& suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        if (QFileInfo::exists(m_path + suffix))
            QFile::rename(m_path + suffix, aside + suffix);
    if (open(m_path, Check::Now)) {
        m_open = true;
        DurableFile::sync(QFile::encodeName(info.absolutePath()).toStdString(), true);
    } else {
        inMemory(Loaded::Damaged);
    }
    return {Loaded::Damaged, aside, 0};
}

int InboxHistory::importJson()
{
    // Earlier versions kept a JSON file per service socket beside the database.
    const QDir folder = QFileInfo(m_path).absoluteDir();
    const QStringList files = folder.entryList(
        {QStringLiteral("inbox.json"), QStringLiteral("inbox-????????????????.json")}, QDir::Files,
        QDir::Name);
    int imported = 0;
    for (const QString& name : files) {
        const QString file = folder.filePath(name);
        QList<InboxMessage> messages = readJson(file);
        std::reverse(messages.begin(), messages.end());
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (!db.transaction())
            break;
        bool fine = true;
        for (const InboxMessage& message : std::as_const(messages)) {
            QString key = message.key;
            fine = fine && insert(message, &key);
            imported += key == message.key ? 1 : 0;
        }
        if (!fine || !evict() || !db.commit()) {
            db.rollback();
            break;
        }
        // Taken over once: the file stays for whoever wants it, but under another name.
        QFile::rename(file, file + QStringLiteral(".imported"));
    }
    return imported;
}

bool InboxHistory::insert(const InboxMessage& message, QString* key)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    // A message joins its source's burst when it comes within the gap of the source's last
    // one (a time that cannot be read starts a new burst).
    query.prepare(QStringLiteral("INSERT OR IGNORE INTO messages (%1, burst) VALUES "
                                 "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, (SELECT CASE WHEN "
                                 "(julianday(?) - julianday(received)) * 86400 <= %2 THEN burst "
                                 "END FROM messages WHERE address = ? ORDER BY seq DESC LIMIT 1))")
                      .arg(kColumns)
                      .arg(kBurstGapSeconds));
    InboxMessage kept = message;
    kept.key = key->isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : *key;
    for (const auto& field : kFields)
        query.addBindValue(kept.*field.second);
    for (const QVariant& value :
         {QVariant(kept.unread ? 1 : 0), QVariant(kept.received), QVariant(kept.address)})
        query.addBindValue(value);
    if (!query.exec())
        return false;
    if (query.numRowsAffected() == 0) {
        key->clear();
        return true;
    }
    *key = kept.key;
    QSqlQuery first(db);
    first.prepare(
        QStringLiteral("UPDATE messages SET burst = seq WHERE seq = ? AND burst IS NULL"));
    first.addBindValue(query.lastInsertId());
    return first.exec();
}

bool InboxHistory::evict()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "DELETE FROM messages WHERE seq IN (SELECT seq FROM messages WHERE unread = 0 "
        "ORDER BY seq LIMIT max(0, (SELECT count(*) FROM messages) - ?))"));
    query.addBindValue(m_limits.messages);
    if (!query.exec())
        return false;
    // One row per turn: a batch adds at most its own size over the cap.
    QSqlQuery over(db);
    over.prepare(QStringLiteral("SELECT count(*) - ? FROM messages WHERE unread = 1"));
    over.addBindValue(m_limits.unread);
    if (!over.exec() || !over.next())
        return false;
    const int excess = over.value(0).toInt();
    for (int n = 0; n < excess; ++n) {
        if (!query.exec(QStringLiteral(
                "DELETE FROM messages WHERE seq = (SELECT seq FROM messages WHERE unread = 1 "
                "AND address = (SELECT address FROM messages GROUP BY address "
                "ORDER BY count(*) DESC, min(seq) LIMIT 1) ORDER BY seq LIMIT 1)")))
            return false;
    }
    return true;
}

InboxHistory::Added InboxHistory::add(const QList<InboxMessage>& messages)
{
    Added added;
    if (!m_open)
        return added;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction())
        return added;
    for (const InboxMessage& message : messages) {
        QString key;
        if (!insert(message, &key)) {
            db.rollback();
            return {};
        }
        if (!key.isEmpty())
            added.newKeys.append(key);
    }
    if (!evict() || !db.commit()) {
        db.rollback();
        return {};
    }
    added.kept = !m_inMemory;
    return added;
}

bool InboxHistory::markRead(const QString& key)
{
    return changeOne(QStringLiteral("UPDATE messages SET unread = 0 WHERE key = ? AND unread = 1"),
                     key);
}

bool InboxHistory::remove(const QString& key)
{
    return changeOne(QStringLiteral("DELETE FROM messages WHERE key = ?"), key);
}

bool InboxHistory::changeOne(const QString& statement, const QString& key)
{
    if (!m_open)
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(statement);
    query.addBindValue(key);
    return query.exec() && query.numRowsAffected() > 0;
}

int InboxHistory::count() const
{
    return number(QStringLiteral("SELECT count(*) FROM messages"));
}

int InboxHistory::unreadCount() const
{
    return number(QStringLiteral("SELECT count(*) FROM messages WHERE unread = 1"));
}

int InboxHistory::number(const QString& statement) const
{
    if (!m_open)
        return 0;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    return query.exec(statement) && query.next() ? query.value(0).toInt() : 0;
}

template <typename Row>
QList<Row> InboxHistory::select(const QString& statement, const QVariantList& values) const
{
    QList<Row> out;
    if (!m_open)
        return out;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(statement.arg(kQualifiedColumns));
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec())
        return out;
    while (query.next())
        read(query, out.emplace_back());
    return out;
}

QList<InboxMessage> InboxHistory::page(int offset, int limit) const
{
    return select<InboxMessage>(
        QStringLiteral("SELECT %1 FROM messages ORDER BY seq DESC LIMIT ? OFFSET ?"),
        {limit, offset});
}

std::optional<InboxMessage> InboxHistory::find(const QString& key) const
{
    const QList<InboxMessage> found =
        select<InboxMessage>(QStringLiteral("SELECT %1 FROM messages WHERE key = ?"), {key});
    return found.isEmpty() ? std::nullopt : std::optional(found.first());
}

namespace {

// The list's lines: a burst of kBurst or more as its newest message, any other message alone.
const QString kEntries =
    QStringLiteral("WITH g AS (SELECT burst, count(*) AS n, max(seq) AS top, max(unread) AS "
                   "anyunread FROM messages GROUP BY burst), "
                   "e AS (SELECT top AS at, n, anyunread FROM g WHERE n >= %1 UNION ALL "
                   "SELECT messages.seq, 1, messages.unread FROM messages JOIN g USING (burst) "
                   "WHERE g.n < %1) ")
        .arg(InboxHistory::kBurst);

} // namespace

QList<InboxHistory::Entry> InboxHistory::entries(int offset, int limit) const
{
    // Only the page's own messages are read whole.
    return select<Entry>(kEntries + QStringLiteral("SELECT %1, e.n, e.anyunread FROM (SELECT * "
                                                   "FROM e ORDER BY at DESC LIMIT ? OFFSET ?) e "
                                                   "JOIN messages ON messages.seq = e.at ORDER "
                                                   "BY e.at DESC"),
                         {limit, offset});
}

QList<InboxMessage> InboxHistory::burst(const QString& key) const
{
    return select<InboxMessage>(
        QStringLiteral("SELECT %1 FROM messages WHERE burst = (SELECT burst FROM "
                       "messages WHERE key = ? AND seq = (SELECT max(seq) FROM "
                       "messages AS newer WHERE newer.burst = messages.burst)) "
                       "ORDER BY seq DESC"),
        {key});
}
