#include "settings/RecipientBox.h"

#include <QCollator>
#include <QLocale>

#include <algorithm>
#include <ranges>

namespace {

const QCollator& recipientCollator()
{
    static const QCollator collator = [] {
        QCollator c(QLocale(QLocale::Spanish, QLocale::Spain));
        c.setCaseSensitivity(Qt::CaseInsensitive);
        c.setNumericMode(false);
        return c;
    }();
    return collator;
}

} // namespace

RecipientBox::RecipientBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // An editable combo box gets a completer that fills in and re-cases what is typed.
    setCompleter(nullptr);
}

bool RecipientBox::sortsBefore(const QString& left, const QString& right)
{
    const int order = recipientCollator().compare(left, right);
    if (order != 0)
        return order < 0;
    return left < right;
}

void RecipientBox::addItem(const QString& text)
{
    // The list is sorted already: the upper bound keeps equal entries in insertion order.
    const auto rows = std::views::iota(0, count());
    const int low = int(std::ranges::upper_bound(rows, text, sortsBefore,
                                                 [this](int row) { return itemText(row); }) -
                        rows.begin());
    const int before = currentIndex();
    const QString typed = currentText();
    insertItem(low, text);
    // Inserting into an empty editable box would select the new entry and replace the typed
    // text; an add changes the list only.
    if (before < 0 && currentIndex() >= 0) {
        setCurrentIndex(-1);
        setEditText(typed);
    }
}
