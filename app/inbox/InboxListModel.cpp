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
    const InboxMessage& message = m_rows[index.row()];
    const QString sender = MessageView::senderText(message);
    const QString when = MessageView::receivedText(message.received);
    switch (role) {
    case kKeyRole:
        return message.key;
    case Qt::DisplayRole: {
        // A mark as well as bold type, so that unread shows in any theme and font.
        const QString summary = tr("%1 — %2\n%3").arg(sender, when, firstLine(message.text));
        return message.unread ? QStringLiteral("● ") + summary : summary;
    }
    case Qt::FontRole: {
        QFont font;
        font.setBold(message.unread);
        return font;
    }
    case Qt::AccessibleTextRole:
        return (message.unread ? tr("No leído. ") : QString()) +
               tr("De %1, %2: %3").arg(sender, when, firstLine(message.text));
    default:
        return {};
    }
}

bool InboxListModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && m_rows.size() < m_total;
}

void InboxListModel::fetchMore(const QModelIndex& parent)
{
    if (parent.isValid())
        return;
    const QList<InboxMessage> more = m_history.page(int(m_rows.size()), kPage);
    if (more.isEmpty()) {
        m_total = int(m_rows.size());
        return;
    }
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + more.size() - 1));
    m_rows.append(more);
    endInsertRows();
}

void InboxListModel::reload()
{
    beginResetModel();
    m_total = m_history.count();
    m_rows = m_history.page(0, std::max<int>(kPage, int(m_rows.size())));
    endResetModel();
}

void InboxListModel::refresh(const QString& key)
{
    const int row = rowOf(key);
    if (row < 0)
        return;
    if (const std::optional<InboxMessage> message = m_history.find(key)) {
        m_rows[row] = *message;
        emit dataChanged(index(row), index(row));
    }
}

int InboxListModel::rowOf(const QString& key) const
{
    for (int row = 0; row < m_rows.size(); ++row)
        if (m_rows[row].key == key)
            return row;
    return -1;
}

QString InboxListModel::keyAt(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows[row].key : QString();
}
