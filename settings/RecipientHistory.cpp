#include "settings/RecipientHistory.h"

#include "platform/dialogs/MessageBox.h"
#include "settings/RecipientBox.h"
#include "settings/SettingsStore.h"

#include <QStringList>

namespace {

// Only the space character: a tab or any other blank belongs to the recipient.
QString trimSpaces(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.mid(first, last - first);
}

bool fitsCount(int count)
{
    return count >= 0 && count <= RecipientHistory::kMaxEntries;
}

} // namespace

RecipientHistory::RecipientHistory(RecipientBox& combo1, SettingsStore& store,
                                   MessageBox& messageBox)
    : m_combo1(combo1), m_store(store), m_messageBox(messageBox)
{}

QString RecipientHistory::path(int index)
{
    return RecipientListKey + QString::number(index);
}

void RecipientHistory::LoadRecipientHistory()
{
    QStringList paths;
    paths.reserve(kMaxLoaded);
    for (int n = 0; n < kMaxLoaded; ++n)
        paths.append(path(n));
    // One read of the store for all 501 values; the list still ends at the first empty one.
    const QStringList values = m_store.ReadKeys(paths);
    for (const QString& value : values) {
        if (value.isEmpty())
            break;
        m_combo1.addItem(value);
    }
}

void RecipientHistory::RememberRecipient(RecipientBox& box)
{
    try {
        const QString candidate = trimSpaces(box.currentText());
        if (candidate.isEmpty())
            return;

        const int count = box.count();
        if (!fitsCount(count))
            return showProblem();
        for (int i = 0; i < count; ++i) {
            if (box.itemText(i) == candidate)
                return;
        }

        box.addItem(candidate);
        if (box.count() != count + 1)
            return showProblem();

        m_combo1.setCurrentIndex(-1);
        if (m_combo1.currentIndex() != -1)
            return showProblem();
        const int entries = m_combo1.count();
        if (!fitsCount(entries))
            return showProblem();
        // The selection walks the list as before, but the texts are collected and stored in
        // one write, so that the store never holds half of the new list.
        QList<Registry::Text> values;
        values.reserve(entries);
        for (int k = 0; k < entries; ++k) {
            m_combo1.setCurrentIndex(k);
            if (m_combo1.currentIndex() != k)
                return showProblem();
            values.append({path(k), m_combo1.currentText()});
        }
        m_store.CreateKeys(values);
        m_combo1.setCurrentIndex(-1);
        if (m_combo1.currentIndex() != -1)
            return showProblem();
    } catch (...) {
        showProblem();
    }
}

void RecipientHistory::showProblem()
{
    m_messageBox.show(m_combo1.window(), QStringLiteral("Problemas!. \r\nTrate de Nuevo."),
                      QStringLiteral("Error"), MessageBox::Icon::Warning);
}
