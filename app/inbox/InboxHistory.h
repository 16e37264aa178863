#pragma once

#include "app/inbox/InboxMessage.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <optional>

// The received messages of one user, newest first, one row each in an SQLite database. Every
// change is one transaction, committed to disk before the caller goes on: what add() reports
// kept survives a crash the moment it returns.
class InboxHistory
{
public:
    struct Limits
    {
        // Beyond this many messages, read ones go, oldest first.
        int messages = 1000;
        // Unread ones are kept up to this many; past it the oldest unread message of the
        // source with the most messages goes, so that one flood cannot push out the others.
        int unread = 5000;
    };

    enum class Loaded
    {
        Fine,
        Missing,   // nothing kept yet: a new database (with any older history imported)
        Damaged,   // set aside under setAsidePath; a new database was started
        Unreadable // cannot be opened; left where it is, and nothing is kept
    };

    struct LoadResult
    {
        Loaded outcome = Loaded::Fine;
        QString setAsidePath;
        int imported = 0; // messages taken over from an older history file
    };

    // One line of the list: a message, or a burst of kBurst or more from one source, each
    // within kBurstGapSeconds of the one before, shown by its newest.
    struct Entry
    {
        InboxMessage newest;
        int count = 1;
        bool anyUnread = false;
    };
    static constexpr int kBurst = 5;
    static constexpr int kBurstGapSeconds = 60;

    struct Added
    {
        bool kept = false;   // committed to disk, or already there
        QStringList newKeys; // the entries that were not in the history yet, oldest first
    };

    explicit InboxHistory(QString path) : InboxHistory(std::move(path), Limits()) {}
    InboxHistory(QString path, Limits limits);
    ~InboxHistory();
    InboxHistory(const InboxHistory&) = delete;
    InboxHistory& operator=(const InboxHistory&) = delete;

    enum class Check
    {
        Now,  // an existing file is read whole before load() returns
        Later // only its header: the caller runs intact() and, if need be, setAside()
    };
    LoadResult load(Check check = Check::Now);
    // The full check of an existing history file, on a connection of its own: any thread.
    static bool intact(const QString& path);
    // Moves a damaged file aside and starts a new one; the outcome is Damaged.
    LoadResult setAside();

    // Keeps the messages in one transaction. One whose id and time are kept already is the
    // same delivery again (the service resends what was not acknowledged) and is not added.
    Added add(const QList<InboxMessage>& messages);
    bool markRead(const QString& key);
    bool remove(const QString& key);

    int count() const;
    int unreadCount() const;
    // Newest first, from row offset; limit < 0 for all of them.
    QList<InboxMessage> page(int offset, int limit) const;
    QList<InboxMessage> messages() const { return page(0, -1); }
    std::optional<InboxMessage> find(const QString& key) const;
    // The list's lines, newest first, bursts collapsed; limit < 0 for all of them.
    QList<Entry> entries(int offset, int limit) const;
    // The messages of the burst whose newest message is key, newest first.
    QList<InboxMessage> burst(const QString& key) const;

    const QString& path() const { return m_path; }

private:
    bool open(const QString& file, Check check);
    // Keeps messages in memory only, for a file that cannot be used.
    LoadResult inMemory(Loaded outcome);
    void close();
    bool createSchema();
    bool addBursts();
    int importJson();
    bool insert(const InboxMessage& message, QString* key);
    bool evict();
    // Runs statement on the one row named by key; false when no row changed.
    bool changeOne(const QString& statement, const QString& key);
    // The single number a query answers; 0 when it cannot.
    int number(const QString& statement) const;
    // The messages or list lines a query answers; statement's %1 stands for the columns.
    template <typename Row>
    QList<Row> select(const QString& statement, const QVariantList& values) const;

    QString m_path;
    Limits m_limits;
    QString m_connection;
    bool m_open = false;
    // The file could not be used: messages are shown from memory but never reported kept.
    bool m_inMemory = false;
};
