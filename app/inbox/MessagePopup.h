#pragma once

#include "app/inbox/InboxMessage.h"

#include <QDialog>

class MessageView;

// The window that pops up for one message. A message that arrives shows without taking the
// keyboard from whatever the user is typing in; it has no default button, so no key acts on it
// until the user clicks into it or activates it. Escape closes it then.
class MessagePopup : public QDialog
{
    Q_OBJECT

public:
    explicit MessagePopup(const InboxMessage& message, bool canReply, QWidget* parent = nullptr);

    const QString& key() const { return m_key; }
    MessageView* view() const { return m_view; }
    // Its place in the stack of pop-ups, counted from the corner of the screen.
    int slot() const { return m_slot; }
    void setSlot(int slot) { m_slot = slot; }

    // For a message the user asked for: on top with the focus on the text, which a screen
    // reader then reads out.
    void present();

signals:
    void replyRequested(const QString& key);
    void inboxRequested(const QString& key);

private:
    QString m_key;
    MessageView* m_view = nullptr;
    int m_slot = 0;
};
