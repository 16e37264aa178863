#pragma once

#include "app/inbox/InboxMessage.h"

#include <QList>
#include <QString>

// The received messages of one user, newest first, kept in one JSON file that is only ever
// replaced whole: a crash while saving leaves the previous file as it was.
class InboxHistory
{
public:
    static constexpr int kMaxMessages = 1000;
    // Every message came in one protocol line of at most 64 KiB; a file far beyond what
    // kMaxMessages of them can fill is not a history.
    static constexpr qint64 kMaxFileBytes = qint64(kMaxMessages) * 72 * 1024;

    enum class Loaded
    {
        Fine,
        Missing,   // nothing saved yet
        Damaged,   // set aside under setAsidePath; what could be read was kept
        Unreadable // exists but cannot be opened; left where it is, and never saved over
    };

    struct LoadResult
    {
        Loaded outcome = Loaded::Fine;
        QString setAsidePath;
    };

    explicit InboxHistory(QString path);

    LoadResult load();
    // Writes the whole history to a new file, syncs it, renames it over the old one and syncs
    // the directory. False when any step failed; the old file is then untouched.
    bool save() const;

    const QList<InboxMessage>& messages() const { return m_messages; }
    const InboxMessage* find(const QString& key) const;
    // The entry of an earlier delivery of the same message, if it is kept.
    const InboxMessage* findDelivery(const InboxMessage& message) const;

    // Puts message first under a new key, dropping the oldest beyond kMaxMessages. Returns
    // the key.
    QString add(InboxMessage message);
    bool markRead(const QString& key);
    bool remove(const QString& key);
    int unreadCount() const;

    const QString& path() const { return m_path; }

private:
    QString m_path;
    QList<InboxMessage> m_messages;
    bool m_keepOff = false;
};

// The durable replacement of one file, for anything that must never be seen half written.
bool writeFileDurably(const QString& path, const QByteArray& content);
