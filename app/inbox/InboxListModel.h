#pragma once

#include "app/inbox/InboxHistory.h"

#include <QAbstractListModel>

// The history as the window lists it, newest first: rows are read from the database a page at
// a time as the view scrolls to them, so a long history costs only what is on screen.
class InboxListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int kKeyRole = Qt::UserRole;
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
    // The row of key among those loaded; -1 when it is not.
    int rowOf(const QString& key) const;
    QString keyAt(int row) const;

private:
    const InboxHistory& m_history;
    QList<InboxMessage> m_rows;
    int m_total = 0;
};
