#pragma once

#include "messaging/MessageSender.h"
#include "messaging/StatusLine.h"

#include <QWidget>
#include <functional>
#include <memory>

class BusyPointer;
class MessageBox;
class Messenger;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
class QToolButton;
class RecipientBox;
class RecipientHistory;
class SettingsStore;
class StatusLabel;
class Tray;

// The program's one window. It holds every control and wires each to its operation; the
// rules live in messaging/, settings/ and identity/.
class Form1 : public QWidget, private StatusLine
{
    Q_OBJECT

public:
    struct Services
    {
        Messenger& messenger;
        BusyPointer& busyPointer;
        MessageBox& messageBox;
        SettingsStore& settings;
        Tray& tray;
        std::function<QString()> localIPAddress;
        std::function<QString()> localComputerName;
        // False where the platform could not bring a hidden window back. Whether a
        // notification area is there is asked of the tray at each minimise.
        bool hideOnMinimize = true;
        int statusClearMs = MessageSender::kStatusClearMs;
        // How often a hidden window looks whether the notification area is still there.
        int trayPollMs = 1000;
    };

    explicit Form1(const Services& services, QWidget* parent = nullptr);
    ~Form1() override;

    // Runs the start-up steps; call once, before the window is first shown.
    void Form_Load();

    // The settings store, as the window offers it.
    void CreateKey(const QString& folder, const QString& Value);
    void CreateIntegerKey(const QString& folder, const qint16& Value);
    QString ReadKey(const QString& Value);
    void DeleteKey(const QString& Value);

    // True once an error ended the program from inside a handler.
    bool failed() const { return m_failed; }

public slots:
    void Command1_Click();
    void Command2_Click();
    void Command4_Click();
    void Command5_Click();
    void Image1_Click();
    void Timer1_Timer();
    void Form_Resize();
    void AniTray1_UserAction(int button, int shift, int extra);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void setStatusCaption(const QString& text) override;
    void setClearInterval(int milliseconds) override;

    void createControls();
    // The recipient check on leaving the box. Returns false when the recipient was refused.
    bool Combo1_LostFocus();
    // Runs a handler; an error escaping it is shown and ends the program.
    template <typename Handler> void guarded(Handler&& handler);
    void fail(const QString& description);
    void sendFromWindow(const QString& messageText);
    void restore();
    [[noreturn]] void endDuringSend();
    void checkTrayWhileHidden();

    Services m_services;
    MessageSender m_sender;
    std::unique_ptr<RecipientHistory> m_history;
    bool m_checkingRecipient = false;
    bool m_image1Pressed = false;
    QObject* m_refusedPressTarget = nullptr;
    bool m_failed = false;

    RecipientBox* Combo1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLineEdit* Text3 = nullptr;
    QPlainTextEdit* Text1 = nullptr;
    QCheckBox* Check1 = nullptr;
    QToolButton* Command1 = nullptr;
    QToolButton* Command2 = nullptr;
    QToolButton* Command4 = nullptr;
    QToolButton* Command5 = nullptr;
    StatusLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Image1 = nullptr;
    QTimer* Timer1 = nullptr;
    Tray& AniTray1;
    QTimer* m_trayPoll = nullptr;
};
