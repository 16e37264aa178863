#pragma once

#include "app/inbox/InboxMessage.h"

#include <QWidget>

class QLineEdit;
class QPlainTextEdit;

// One message: who sent it, from which machine and address, to which name, when, and the
// whole text. Every field can be selected and copied, and a screen reader reads each by name.
class MessageView : public QWidget
{
    Q_OBJECT

public:
    explicit MessageView(QWidget* parent = nullptr);

    void showMessage(const InboxMessage& message);
    void clear();
    QPlainTextEdit* textBox() const { return m_text; }

    // The time received, in Spanish; the raw text when it is not a time.
    static QString receivedText(const QString& received);
    // "PEDRO (PC-PEDRO)", or whichever of the two is known.
    static QString senderText(const InboxMessage& message);
    // The destination as the sender wrote it, with the called name when that differs.
    static QString recipientText(const InboxMessage& message);

private:
    QLineEdit* addField(const QString& label, const QString& accessibleName);

    QLineEdit* m_from = nullptr;
    QLineEdit* m_machine = nullptr;
    QLineEdit* m_address = nullptr;
    QLineEdit* m_to = nullptr;
    QLineEdit* m_received = nullptr;
    QPlainTextEdit* m_text = nullptr;
};
