#pragma once

#include <QComboBox>

// The editable recipient box whose list is the recipient history. Its list is always sorted:
// addItem picks the entry's place itself. Enter never adds the typed text to the list, and
// every key is taken as typed: nothing completes or re-cases it.
class RecipientBox : public QComboBox
{
    Q_OBJECT

public:
    explicit RecipientBox(QWidget* parent = nullptr);

    // Hides QComboBox::addItem, which appends, so that every add through this type sorts.
    void addItem(const QString& text);

    // The sort order: Spanish collation, case and accents secondary, ties broken by code
    // points so that the order never depends on insertion order.
    static bool sortsBefore(const QString& left, const QString& right);
};
