#pragma once

#include "app/inbox/InboxHistory.h"

#include <QAbstractListModel>
#include <QSet>

// The history as the window lists it, newest first: rows are read from the database a page at
// a time as the view scrolls to them, so a long history costs only what is on screen. A burst
// from one source is one row until the user opens it.
class InboxListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int kKeyRole = Qt::UserRole;
    static constexpr int kBurstRole = Qt::UserRole + 1; // messages the row stands for
    static constexpr int kPage = 100;

    explicit InboxListModel(const InboxHistory& history, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Reads again what is loaded (at least the first page), after messages came or went.
    void reload();
    // Reads one message again, after it was marked read.
    void refresh(const QString& key);
    // Lists the burst shown at row as its messages, from then on.
    void expand(int row);
    bool isBurst(int row) const;
    // The row of key among those loaded; -1 when it is not.
    int rowOf(const QString& key) const;

private:
    const InboxHistory& m_history;

    QList<InboxHistory::Entry> m_rows;
    int m_loaded = 0; // entries read from the history
    bool m_atEnd = false;
    QSet<QString> m_expanded; // bursts by their newest message
};
