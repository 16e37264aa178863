#pragma once

#include "app/inbox/InboxHistory.h"
#include "app/inbox/ReplyDialog.h"
#include "app/inbox/ServiceClient.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <memory>

class InboxListModel;
class MessagePopup;
class MessageView;
class Notifications;
class QLabel;
class QListView;
class QPushButton;
class QThread;
class ReplySender;
class StatusIcon;

// The inbox: the received messages, newest first, with the one selected shown whole; and
// what happens when one arrives (kept, acknowledged, popped up, notified). Closing the window
// only hides it: the program keeps receiving.
class InboxWindow : public QWidget
{
    Q_OBJECT

public:
    // Pop-ups open at once; later messages wait in the list and in the notifications.
    static constexpr int kMaxPopups = 5;

    struct Services
    {
        ServiceClient& client;
        InboxHistory& history;
        Notifications& notifications;
        ReplySender& replies;
        // The notification-area icon, where the program has one.
        StatusIcon* statusIcon = nullptr;
    };

    explicit InboxWindow(const Services& services, QWidget* parent = nullptr);
    ~InboxWindow() override;

    // Loads the history and connects to the service once the history is known to be whole.
    void start();
    // Shows the window on top, as a second start of the program asks.
    void bringToFront();
    // Opens the message in a pop-up (or brings its pop-up up) with the focus, as the user
    // asked, and marks it read.
    void openMessage(const QString& key);
    // Opens the answer box for the message; false when it has no address to answer.
    bool replyTo(const QString& key);

    QList<MessagePopup*> popups() const;
    // Messages only notified, never popped up.
    void setDoNotDisturb(bool on);
    bool doNotDisturb() const { return m_doNotDisturb; }
    QListView* list() const { return m_list; }
    QLabel* serviceLabel() const { return m_service; }
    QLabel* noticeLabel() const { return m_notice; }

signals:
    void doNotDisturbChanged(bool on);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void onMessages(const QList<InboxMessage>& messages);
    // A pop-up for the message; one the user did not ask for leaves the focus where it is.
    void popUp(const QString& key, bool asked);
    void placePopup(MessagePopup& popup) const;
    void placeOnScreen();
    void onServiceState();
    void onSelectionChanged();
    void onReplyFinished(int ticket, int code, const QString& statusText);
    void deleteSelected();
    void markRead(const QString& key);
    void refillList(const QString& selectKey);
    void updateTitle();
    void setSaveProblem(const QString& text);
    void setLoadOutcome(const InboxHistory::LoadResult& loaded);
    void historyChecked(bool intact);
    QString selectedKey() const;
    static bool canReply(const InboxMessage& message);

    Services m_services;
    QLabel* m_service = nullptr;
    QLabel* m_notice = nullptr;
    InboxListModel* m_model = nullptr;
    QListView* m_list = nullptr;
    MessageView* m_view = nullptr;
    QPushButton* m_reply = nullptr;
    QPushButton* m_delete = nullptr;
    QList<QPointer<MessagePopup>> m_popups;
    QHash<int, QPointer<ReplyDialog>> m_replies;
    int m_nextTicket = 1;
    QString m_signature = ReplyDialog::defaultSignature();
    QString m_loadProblem;
    // Reads the whole history file beside start-up, which reads only what it shows.
    std::unique_ptr<QThread> m_check;
    bool m_doNotDisturb = false;
};
