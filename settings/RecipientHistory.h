#pragma once

#include <QString>
#include <QStringList>

class MessageBox;
class RecipientBox;
class SettingsStore;

// The recipients used before, kept as the list of the recipient box Combo1 and stored as the
// values List0, List1, ... under HKCU\Software\combo\Vorelin.
//
// Three things differ from saving value by value: a save is one unit (a crash in the middle
// leaves the whole old list, never a mix that loses an entry); a load or a save touches the
// store file once instead of once per value; and a save first takes in, under the store's
// lock, what another window stored meanwhile, so that two windows keep each other's entries.
class RecipientHistory
{
public:
    static constexpr QLatin1StringView RecipientListKey{"HKCU\\Software\\combo\\Vorelin\\List"};
    // List0 to List500.
    static constexpr int kMaxLoaded = 501;
    // Counts and indices are 16-bit signed integers.
    static constexpr int kMaxEntries = 32767;

    RecipientHistory(RecipientBox& combo1, SettingsStore& store, MessageBox& messageBox);

    // Fills Combo1's list from List0 up to the first empty value, at most List500. The text
    // and the selection of the box stay as they were.
    void LoadRecipientHistory();

    // Adds box's text, without surrounding spaces, to box's list when it is not in it yet, and
    // then stores Combo1's whole list, leaving Combo1 empty with no selection. Before storing,
    // every stored text that Combo1 lacks (read as a load reads) is added to it. Any failure
    // on the way shows the "Problemas!." box and ends the operation; a failed write is silent.
    void RememberRecipient(RecipientBox& box);

    static QString path(int index);

private:
    // List0 to List500.
    static const QStringList& loadedPaths();
    // Adds to Combo1 each of the stored texts (up to the first empty one) that it lacks.
    bool addMissing(const QStringList& stored);
    void showProblem();

    RecipientBox& m_combo1;
    SettingsStore& m_store;
    MessageBox& m_messageBox;
};
