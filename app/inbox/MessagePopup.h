#pragma once

#include "app/inbox/InboxMessage.h"

#include <QDialog>

class MessageView;
class QPushButton;

// The window that pops up for one message. It takes the focus on its text, so that a screen
// reader reads the message out. Enter answers, Escape closes.
class MessagePopup : public QDialog
{
    Q_OBJECT

public:
    explicit MessagePopup(const InboxMessage& message, bool canReply, QWidget* parent = nullptr);

    const QString& key() const { return m_key; }
    MessageView* view() const { return m_view; }

    // Shows the window on top with the focus on the text.
    void present();

signals:
    void replyRequested(const QString& key);
    void inboxRequested(const QString& key);

private:
    QString m_key;
    MessageView* m_view = nullptr;
};
