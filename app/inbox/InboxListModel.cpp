#include "app/inbox/InboxListModel.h"

#include "app/inbox/MessageView.h"

#include <QFont>

namespace {

constexpr int kPreviewCharacters = 80;

QString firstLine(const QString& text)
{
    const QString line = text.section(QLatin1Char('\n'), 0, 0).simplified();
    if (line.size() <= kPreviewCharacters)
        return line;
    return line.left(kPreviewCharacters) + QChar(0x2026);
}

} // namespace

InboxListModel::InboxListModel(const InboxHistory& history, QObject* parent)
    : QAbstractListModel(parent), m_history(history)
{}

int InboxListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant InboxListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const InboxHistory::Entry& entry = m_rows[index.row()];
    const InboxMessage& message = entry.newest;
    const bool unread = entry.anyUnread;
    // Views ask for many roles a row: the dates are read only for the two that show them.
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
        const QString sender = MessageView::senderText(message);
        const QString when = MessageView::receivedText(message.received);
        if (role == Qt::AccessibleTextRole)
            return (unread ? tr("No leído. ") : QString()) +
                   (entry.count > 1
                        ? tr("%1 mensajes más de %2, %3; Intro los muestra")
                              .arg(entry.count)
                              .arg(sender, when)
                        : tr("De %1, %2: %3").arg(sender, when, firstLine(message.text)));
        // A mark as well as bold type, so that unread shows in any theme and font.
        const QString summary = entry.count > 1
                                    ? tr("%1 mensajes más de %2 — %3\n%4")
                                          .arg(entry.count)
                                          .arg(sender, when, firstLine(message.text))
                                    : tr("%1 — %2\n%3").arg(sender, when, firstLine(message.text));
        return unread ? QStringLiteral("● ") + summary : summary;
    }
    switch (role) {
    case kKeyRole:
        return message.key;
    case kBurstRole:
        return entry.count;
    case Qt::FontRole: {
        QFont font;
        font.setBold(unread);
        return font;
    }
    default:
        return {};
    }
}

bool InboxListModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && !m_atEnd;
}

void InboxListModel::fetchMore(const QModelIndex& parent)
{
    if (parent.isValid())
        return;
    QList<InboxHistory::Entry> more;
    const QList<InboxHistory::Entry> read = m_history.entries(m_loaded, kPage);
    for (const InboxHistory::Entry& entry : read) {
        if (entry.count > 1 && m_expanded.contains(entry.newest.key)) {
            for (const InboxMessage& message : m_history.burst(entry.newest.key))
                more.append({message, 1, message.unread});
        } else {
            more.append(entry);
        }
    }
    m_loaded += int(read.size());
    // A short page is the last: nothing counts the whole history first.
    m_atEnd = read.size() < kPage;
    if (more.isEmpty())
        return;
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + more.size() - 1));
    m_rows.append(more);
    endInsertRows();
}

void InboxListModel::reload()
{
    const int loaded = std::max(kPage, m_loaded);
    beginResetModel();
    m_rows.clear();
    m_loaded = 0;
    m_atEnd = false;
    endResetModel();
    while (m_loaded < loaded && canFetchMore({}))
        fetchMore({});
}

void InboxListModel::expand(int row)
{
    if (!isBurst(row))
        return;
    m_expanded.insert(m_rows[row].newest.key);
    const QList<InboxMessage> messages = m_history.burst(m_rows[row].newest.key);
    beginRemoveRows({}, row, row);
    m_rows.removeAt(row);
    endRemoveRows();
    beginInsertRows({}, row, int(row + messages.size() - 1));
    for (int n = 0; n < messages.size(); ++n)
        m_rows.insert(row + n, {messages[n], 1, messages[n].unread});
    endInsertRows();
}

bool InboxListModel::isBurst(int row) const
{
    return row >= 0 && row < m_rows.size() && m_rows[row].count > 1;
}

void InboxListModel::refresh(const QString& key)
{
    const int row = rowOf(key);
    if (row < 0 || isBurst(row))
        return;
    if (const std::optional<InboxMessage> message = m_history.find(key)) {
        m_rows[row] = {*message, 1, message->unread};
        emit dataChanged(index(row), index(row));
    }
}

int InboxListModel::rowOf(const QString& key) const
{
    for (int row = 0; row < m_rows.size(); ++row)
        if (m_rows[row].newest.key == key)
            return row;
    return -1;
}
