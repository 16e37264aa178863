#include "settings/RecipientHistory.h"

#include "platform/dialogs/MessageBox.h"
#include "settings/RecipientBox.h"
#include "settings/SettingsStore.h"

#include <QHash>

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

const QStringList& RecipientHistory::loadedPaths()
{
    static const QStringList paths = [] {
        QStringList made;
        made.reserve(kMaxLoaded);
        for (int n = 0; n < kMaxLoaded; ++n)
            made.append(path(n));
        return made;
    }();
    return paths;
}

void RecipientHistory::LoadRecipientHistory()
{
    // One read of the store for all 501 values; the list still ends at the first empty one.
    const QStringList values = m_store.ReadKeys(loadedPaths());
    for (const QString& value : values) {
        if (value.isEmpty())
            break;
        m_combo1.addItem(value);
    }
}

bool RecipientHistory::addMissing(const QStringList& stored)
{
    QHash<QString, int> present;
    for (int i = 0; i < m_combo1.count(); ++i)
        ++present[m_combo1.itemText(i)];
    for (const QString& text : stored) {
        if (text.isEmpty())
            break;
        // A text stored twice is listed twice, as a load lists it.
        const auto found = present.find(text);
        if (found != present.end() && *found > 0) {
            --*found;
            continue;
        }
        const int before = m_combo1.count();
        m_combo1.addItem(text);
        if (m_combo1.count() != before + 1)
            return false;
    }
    return true;
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
        // Another window may have stored recipients since the load: under the store's lock,
        // they join the list before it is written, so neither window's are lost. The whole
        // list is written in one unit, never half of it.
        bool problem = false;
        m_store.UpdateKeys(loadedPaths(), [&](const QStringList& stored) {
            std::optional<QList<Registry::Text>> values;
            try {
                const int entries = addMissing(stored) ? m_combo1.count() : -1;
                if (!fitsCount(entries)) {
                    problem = true;
                    return values;
                }
                values.emplace();
                values->reserve(entries);
                const QStringList& paths = loadedPaths();
                for (int k = 0; k < entries; ++k)
                    values->append({k < paths.size() ? paths[k] : path(k), m_combo1.itemText(k)});
            } catch (...) {
                problem = true;
                values.reset();
            }
            return values;
        });
        // Shown only now, so that the lock is not held while the box is open.
        if (problem)
            return showProblem();
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
