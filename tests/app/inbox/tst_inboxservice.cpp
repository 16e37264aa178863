#include "app/inbox/InboxHistory.h"
#include "app/inbox/InboxWindow.h"
#include "app/inbox/MessagePopup.h"
#include "app/inbox/MessageView.h"
#include "app/inbox/ReplyDialog.h"
#include "app/inbox/ReplySender.h"
#include "app/inbox/ServiceClient.h"
#include "app/inbox/Spanish.h"
#include "messaging/MessageSender.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/notifications/Notifications.h"
#include "platform/tray/StatusIcon.h"
#include "support/VorelindProcess.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

// The desktop's notification server is the e2e test's; here the posts are recorded.
class RecordingNotifications final : public Notifications
{
public:
    struct Posted
    {
        QString key, summary, body;
    };
    void notify(const QString& key, const QString& summary, const QString& body) override
    {
        posted.append({key, summary, body});
    }
    QList<Posted> posted;
};

// The notification-area icon as the window drives it: its menu, its count and tip.
class RecordingStatusIcon : public StatusIcon
{
public:
    void show(std::vector<MenuEntry> entries, std::function<void()> onClick) override
    {
        menu = std::move(entries);
        activated = std::move(onClick);
    }
    void setCount(int unread, const std::string& tip) override
    {
        count = unread;
        toolTip = QString::fromStdString(tip);
    }
    bool isAvailable() const override { return true; }
    MenuEntry* entry(const QString& text)
    {
        for (MenuEntry& e : menu)
            if (QString::fromStdString(e.text).remove(u'&') == text)
                return &e;
        return nullptr;
    }

    std::vector<MenuEntry> menu;
    std::function<void()> activated;
    int count = -1;
    QString toolTip;
};

// The inbox as main() puts it together, on a given socket, history file and answer port.
struct Inbox
{
    Inbox(const QString& socket, const QString& historyPath, std::uint16_t replyPort,
          std::function<bool()> installed = {})
        : history(historyPath), client(clientOptions(socket, std::move(installed))),
          replies([replyPort](std::uint32_t address) {
              SmbMessengerOptions options;
              options.address = address;
              options.sessionPort = replyPort;
              return std::make_unique<SmbMessenger>(QStringLiteral("INBOXPC"), options);
          }),
          window({client, history, notifications, replies, &statusIcon})
    {
        window.start();
    }

    // Reconnects within a second, so that a restarted service is found quickly.
    static ServiceClient::Options clientOptions(const QString& socket,
                                                std::function<bool()> installed)
    {
        ServiceClient::Options options{socket, std::move(installed)};
        options.maxRetryMs = 1000;
        return options;
    }

    RecordingNotifications notifications;
    RecordingStatusIcon statusIcon;
    InboxHistory history;
    ServiceClient client;
    ReplySender replies;
    InboxWindow window;
};

bool send(std::uint16_t port, const QString& from, const QString& to, const QString& text)
{
    QProcess sender;
    sender.start(QStringLiteral(VORELIN_SEND_PATH),
                 {"-f", from, "-I", "127.0.0.1", "-p", QString::number(port), to, text});
    if (!sender.waitForFinished(30000)) {
        sender.kill();
        sender.waitForFinished(3000);
        return false;
    }
    return sender.exitStatus() == QProcess::NormalExit && sender.exitCode() == 0;
}

// Messages the service still holds: its spool files, named by their 16-digit id and their
// recipient.
int spooled(const VorelindProcess& service)
{
    static const QRegularExpression spoolFile(QStringLiteral("^[0-9a-f]{16}(-[0-9a-f]*)?\\.msg$"));
    int count = 0;
    QDirIterator files(service.stateDir(), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext())
        count += spoolFile.match(files.nextFileInfo().fileName()).hasMatch() ? 1 : 0;
    return count;
}

QString field(QWidget* view, const QString& accessibleName)
{
    for (QLineEdit* edit : view->findChildren<QLineEdit*>())
        if (edit->accessibleName() == accessibleName)
            return edit->text();
    return QStringLiteral("<no field %1>").arg(accessibleName);
}

MessagePopup* popupWithText(const InboxWindow& window, const QString& text)
{
    for (MessagePopup* popup : window.popups())
        if (popup->view()->textBox()->toPlainText() == text)
            return popup;
    return nullptr;
}

ReplyDialog* openReplyDialog()
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<ReplyDialog*>(top); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

// Answers the question box that the next step opens, once it is up.
void answerNextQuestion(QMessageBox::StandardButton answer)
{
    auto* poll = new QTimer(qApp);
    auto ticks = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, ticks, answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box)
            box->button(answer)->click();
        if (box || ++*ticks > 1000)
            poll->deleteLater();
    });
    poll->start(10);
}

// The controls of a window in the order assistive technology walks them.
void collectControls(QAccessibleInterface* node, QList<QAccessibleInterface*>& controls)
{
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* child = node->child(i);
        if (!child || child->state().invisible)
            continue;
        switch (child->role()) {
        case QAccessible::PushButton:
        case QAccessible::EditableText:
        case QAccessible::StaticText:
        case QAccessible::List:
            controls.append(child);
            break;
        default:
            collectControls(child, controls);
        }
    }
}

// Where that order leaves the screen's: left to right, then top to bottom.
QString readingOrderProblem(QWidget* window)
{
    QList<QAccessibleInterface*> controls;
    collectControls(QAccessible::queryAccessibleInterface(window), controls);
    for (qsizetype i = 1; i < controls.size(); ++i) {
        const QRect a = controls[i - 1]->rect();
        const QRect b = controls[i]->rect();
        const bool sameRow = b.center().y() >= a.top() && b.center().y() <= a.bottom();
        if (sameRow ? b.left() < a.left() : b.top() < a.center().y())
            return QStringLiteral("\"%1\" comes after \"%2\"")
                .arg(controls[i]->text(QAccessible::Name),
                     controls[i - 1]->text(QAccessible::Name));
    }
    return {};
}

// Whether anything opened the file since the watch began.
class OpenWatch
{
public:
    explicit OpenWatch(const QString& path) : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
    }
    ~OpenWatch() { ::close(m_fd); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool opened() const
    {
        char events[4096];
        return ::read(m_fd, events, sizeof events) > 0;
    }

private:
    int m_fd;
};

// What a screen reader reads for the label, which is what it shows.
QString shown(QLabel* label)
{
    label->grab(); // lays out and paints, loading whatever the text refers to
    return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
}

} // namespace

// The inbox's windows against the real vorelind in direct mode, fed by the real vorelin-send:
// what pops up, what is kept and acknowledged, the states the user reads, and answers.
class TestInboxService : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_home;
    VorelindProcess m_service;

    QString historyPath() const { return m_home->filePath(QStringLiteral("inbox.sqlite")); }

private slots:
    void init();
    void cleanup();

    void showsKeepsAndAcknowledgesEachMessage_data();
    void showsKeepsAndAcknowledgesEachMessage();
    void acknowledgesOnlyWhatIsKept();
    void theTrayIconCountsAndHushes();
    void saysADamagedHistoryWasSetAside_data();
    void saysADamagedHistoryWasSetAside();
    void saysWhyTheServiceIsAwayAndReconnects();
    void everyControlHasANameAndTheKeyboardWorks();
    void answersTheSenderThroughTheSendPath();
    void staysResponsiveWhileAnAnswerGoesOut();
    void opensWhollyOnTheScreen();
    void speaksSpanishWhateverTheLocale();
    void showsNetworkTextAsItIs_data();
    void showsNetworkTextAsItIs();
};

void TestInboxService::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QString error;
    QVERIFY2(m_service.start({}, error), qPrintable(error));
}

void TestInboxService::cleanup()
{
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<ReplyDialog*>(top))
            dialog->answerBox()->clear(); // else closing asks first
        top->close();
    }
    m_service.stop();
}

void TestInboxService::showsKeepsAndAcknowledgesEachMessage_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("text");

    QString longText;
    for (int line = 0; line < 20; ++line)
        longText += QStringLiteral("Línea %1: ñandú, canción, pingüino. ").arg(line, 2) +
                    QString(10, QChar(u'a' + line)) + QLatin1Char('\n');
    longText.chop(1);
    QTest::newRow("short") << QStringLiteral("PEDRO") << QStringLiteral("Hola");
    QTest::newRow("long, many lines, CP850 letters") << QStringLiteral("ANA") << longText;
}

void TestInboxService::showsKeepsAndAcknowledgesEachMessage()
{
    QFETCH(QString, from);
    QFETCH(QString, text);

    {
        Inbox inbox(m_service.socketPath(), historyPath(), 139);
        QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
        QVERIFY(inbox.window.serviceLabel()->text().contains(QStringLiteral("VTEST")));
        QVERIFY(send(m_service.port(), from, "VTEST", text));

        QTRY_VERIFY(popupWithText(inbox.window, text));
        MessagePopup* popup = popupWithText(inbox.window, text);
        QCOMPARE(field(popup, "Remitente"), from);
        QVERIFY(!field(popup, "Equipo del remitente").isEmpty());
        QCOMPARE(field(popup, "Dirección del remitente"), QStringLiteral("127.0.0.1"));
        QCOMPARE(field(popup, "Destinatario"), QStringLiteral("VTEST"));
        QVERIFY(!field(popup, "Recibido").isEmpty());
        QVERIFY(popup->windowTitle().contains(from));

        QCOMPARE(inbox.notifications.posted.size(), 1);
        QVERIFY(inbox.notifications.posted[0].summary.contains(from));
        QCOMPARE(inbox.notifications.posted[0].body, text);
        QCOMPARE(inbox.window.list()->model()->rowCount(), 1);
        // Opening the notification brings the message up again after it was closed.
        popup->close();
        QTRY_VERIFY(inbox.window.popups().isEmpty());
        emit inbox.notifications.activated(inbox.notifications.posted[0].key);
        QVERIFY(popupWithText(inbox.window, text));
    }
    // Acknowledged: the service let it go. Kept: a new inbox lists it.
    QTRY_COMPARE(spooled(m_service), 0);
    Inbox again(m_service.socketPath(), historyPath(), 139);
    QCOMPARE(again.history.messages().size(), 1);
    QCOMPARE(again.history.messages()[0].text, text);
}

void TestInboxService::acknowledgesOnlyWhatIsKept()
{
    // A history that cannot be written: its folder would be a file.
    QFile blocker(m_home->filePath(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString unwritable = blocker.fileName() + QStringLiteral("/inbox.sqlite");
    {
        Inbox inbox(m_service.socketPath(), unwritable, 139);
        QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
        QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "primero"));
        QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "segundo"));
        QTRY_COMPARE(inbox.window.list()->model()->rowCount(), 2);
        QTRY_VERIFY(!inbox.window.noticeLabel()->isHidden());
        QCOMPARE(spooled(m_service), 2);
        QVERIFY(inbox.window.noticeLabel()->text().contains(unwritable));
    }
    // The service kept both, so an inbox that can keep them gets both, oldest first.
    {
        Inbox inbox(m_service.socketPath(), historyPath(), 139);
        QTRY_COMPARE(inbox.window.list()->model()->rowCount(), 2);
        QCOMPARE(inbox.history.messages()[0].text, QStringLiteral("segundo"));
        QCOMPARE(inbox.history.messages()[1].text, QStringLiteral("primero"));
        QVERIFY(inbox.window.noticeLabel()->isHidden());
        QTRY_COMPARE(spooled(m_service), 0);
    }
}

void TestInboxService::theTrayIconCountsAndHushes()
{
    Inbox inbox(m_service.socketPath(), historyPath(), 139);
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
    QCOMPARE(inbox.statusIcon.count, 0);
    for (const char* text : {"Ver mensajes", "No molestar", "Salir"})
        QVERIFY2(inbox.statusIcon.entry(QString::fromUtf8(text)), text);
    QVERIFY(inbox.statusIcon.entry("No molestar")->checkable);
    QVERIFY(!inbox.statusIcon.entry("No molestar")->checked);

    inbox.statusIcon.entry("No molestar")->triggered(true);
    QVERIFY(inbox.window.doNotDisturb());
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "uno"));
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "dos"));
    // Notified and counted, but nothing pops up.
    QTRY_COMPARE(inbox.notifications.posted.size(), 2);
    QVERIFY(inbox.window.popups().isEmpty());
    QCOMPARE(inbox.statusIcon.count, 2);
    QVERIFY2(inbox.statusIcon.toolTip.contains("2 sin leer"), qPrintable(inbox.statusIcon.toolTip));

    QVERIFY(!inbox.window.isVisible());
    inbox.statusIcon.activated();
    QVERIFY(inbox.window.isVisible());
    // Seen in the list: the newest is read now.
    QTRY_COMPARE(inbox.statusIcon.count, 1);
}

void TestInboxService::saysADamagedHistoryWasSetAside_data()
{
    QTest::addColumn<bool>("inside");
    QTest::newRow("not a database") << false;
    // Found by the full check that runs beside start-up.
    QTest::newRow("damaged inside") << true;
}

void TestInboxService::saysADamagedHistoryWasSetAside()
{
    QFETCH(bool, inside);
    QFile damaged(historyPath());
    if (inside) {
        {
            InboxHistory history(historyPath());
            history.load();
            InboxMessage m{QString(),         QString(), "PEDRO", "PC",
                           "127.0.0.1",       "VTEST",   "VTEST", "2026-01-01T10:00:00+00:00",
                           QString(400, 'x'), true};
            QList<InboxMessage> many;
            for (int n = 0; n < 200; ++n) {
                m.id = QString::number(n);
                many.append(m);
            }
            QVERIFY(history.add(many).kept);
        }
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        for (qint64 at = 4096; at + 64 < damaged.size(); at += 4096)
            QVERIFY(damaged.seek(at) && damaged.write(QByteArray(64, '\xff')) == 64);
    } else {
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("{\"format\":1,\"messages\":[{\"key\":");
    }
    damaged.close();

    Inbox inbox(m_service.socketPath(), historyPath(), 139);
    QTRY_VERIFY(inbox.window.noticeLabel()->text().contains(historyPath() + ".damaged-"));
    QVERIFY(!inbox.window.noticeLabel()->isHidden());
    // It stays said for the whole session, however well the next saves go.
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "nuevo"));
    QTRY_COMPARE(inbox.history.messages().size(), 1);
    QTRY_COMPARE(spooled(m_service), 0);
    QVERIFY(!inbox.window.noticeLabel()->isHidden());
}

void TestInboxService::saysWhyTheServiceIsAwayAndReconnects()
{
    const QString socket = m_service.socketPath();
    m_service.stop();

    {
        Inbox notInstalled(m_home->filePath(QStringLiteral("absent.socket")), historyPath(), 139,
                           [] { return false; });
        QTRY_COMPARE(notInstalled.client.state(), ServiceClient::State::NotInstalled);
        QCOMPARE(notInstalled.window.serviceLabel()->text(),
                 ServiceClient::describe(ServiceClient::State::NotInstalled, {}));
    }

    Inbox inbox(socket, historyPath(), 139);
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::NotRunning);
    QVERIFY(inbox.window.serviceLabel()->text().contains(QStringLiteral("no está en marcha")));
    // Failing attempts wait longer each time, never in a busy loop.
    QTRY_VERIFY(inbox.client.failures() >= 3);

    QString error;
    QVERIFY2(m_service.restart(error), qPrintable(error));
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "después de arrancar"));
    QTRY_COMPARE(inbox.window.list()->model()->rowCount(), 1);

    // Stopped under a connected inbox, messages sent meanwhile wait in the spool of the
    // restarted service... which only a running service can take; so restart at once.
    m_service.stop();
    QTRY_VERIFY(inbox.client.state() != ServiceClient::State::Connected);
    QVERIFY2(m_service.restart(error), qPrintable(error));
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "tras reiniciar"));
    QTRY_COMPARE(inbox.window.list()->model()->rowCount(), 2);
}

void TestInboxService::everyControlHasANameAndTheKeyboardWorks()
{
    Inbox inbox(m_service.socketPath(), historyPath(), 139);
    inbox.window.show();
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "¿Comemos juntos?"));
    QTRY_VERIFY(popupWithText(inbox.window, "¿Comemos juntos?"));
    MessagePopup* popup = popupWithText(inbox.window, "¿Comemos juntos?");
    // Return never answers: the pop-up has no default button.
    QTest::keyClick(popup, Qt::Key_Return);
    QVERIFY(!openReplyDialog());
    QVERIFY(popup->isVisible());
    // Opened by the user, it takes the focus on its text, which a screen reader then reads.
    inbox.window.openMessage(inbox.history.messages()[0].key);
    QVERIFY(QTest::qWaitForWindowActive(popup));
    QCOMPARE(QApplication::focusWidget(), popup->view()->textBox());

    // The inbox is a frame; the fields a message shows in are read, not edited.
    QCOMPARE(QAccessible::queryAccessibleInterface(&inbox.window)->role(), QAccessible::Window);
    for (QLineEdit* field : popup->findChildren<QLineEdit*>()) {
        const QAccessible::State state = QAccessible::queryAccessibleInterface(field)->state();
        QVERIFY2(state.readOnly && !state.editable, qPrintable(field->accessibleName()));
    }

    const QList<QWidget*> windows{&inbox.window, popup};
    for (QWidget* window : windows) {
        QVERIFY(!window->accessibleName().isEmpty());
        QCOMPARE(readingOrderProblem(window), QString());
        for (QWidget* control : window->findChildren<QWidget*>()) {
            const bool interactive =
                qobject_cast<QAbstractButton*>(control) || qobject_cast<QLineEdit*>(control) ||
                qobject_cast<QPlainTextEdit*>(control) || qobject_cast<QListView*>(control);
            if (interactive)
                QVERIFY2(!control->accessibleName().isEmpty(),
                         qPrintable(control->metaObject()->className()));
        }
    }

    // Its mnemonic answers: the answer box opens with the focus on the answer.
    QTest::keyClick(popup->view()->textBox(), Qt::Key_R, Qt::AltModifier);
    QTRY_VERIFY(openReplyDialog());
    ReplyDialog* dialog = openReplyDialog();
    QTRY_COMPARE(QApplication::focusWidget(), dialog->answerBox());
    QVERIFY(!dialog->accessibleName().isEmpty());
    QCOMPARE(readingOrderProblem(dialog), QString());
    // Shift+Enter is a new line, Tab leaves the box, Escape closes it.
    QTest::keyClicks(dialog->answerBox(), "uno");
    QTest::keyClick(dialog->answerBox(), Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(dialog->answerBox(), "dos");
    QCOMPARE(dialog->answerBox()->toPlainText(), QStringLiteral("uno\ndos"));
    QTest::keyClick(dialog->answerBox(), Qt::Key_Tab);
    QVERIFY(QApplication::focusWidget() != dialog->answerBox());
    // Escape asks before a half-written answer goes.
    answerNextQuestion(QMessageBox::Cancel);
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(openReplyDialog());
    QCOMPARE(dialog->answerBox()->toPlainText(), QStringLiteral("uno\ndos"));
    answerNextQuestion(QMessageBox::Discard);
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(!openReplyDialog());

    // Alt+C closes a pop-up; Delete in the list asks, then removes the message for good.
    inbox.window.openMessage(inbox.history.messages()[0].key);
    QTRY_COMPARE(inbox.window.popups().size(), 1);
    QVERIFY(QTest::qWaitForWindowActive(inbox.window.popups()[0]));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::AltModifier);
    QTRY_VERIFY(inbox.window.popups().isEmpty());
    inbox.window.bringToFront();
    QVERIFY(QTest::qWaitForWindowActive(&inbox.window));
    QCOMPARE(QApplication::focusWidget(), inbox.window.list());
    answerNextQuestion(QMessageBox::No);
    QTest::keyClick(inbox.window.list(), Qt::Key_Delete);
    QCOMPARE(inbox.window.list()->model()->rowCount(), 1);
    inbox.window.bringToFront(); // the offscreen platform leaves no window active
    QVERIFY(QTest::qWaitForWindowActive(&inbox.window));
    answerNextQuestion(QMessageBox::Yes);
    QTest::keyClick(inbox.window.list(), Qt::Key_Delete);
    QCOMPARE(inbox.window.list()->model()->rowCount(), 0);
    InboxHistory saved(historyPath());
    saved.load();
    QVERIFY(saved.messages().isEmpty());
}

void TestInboxService::answersTheSenderThroughTheSendPath()
{
    QString error;
    // The answer is sent by the machine name the message came from: the second receiver
    // answers to that name, on a port of its own.
    VorelindProcess other;
    {
        Inbox probe(m_service.socketPath(), historyPath(), 139);
        QTRY_COMPARE(probe.client.state(), ServiceClient::State::Connected);
        QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "¿Me contestas?"));
        QTRY_COMPARE(probe.history.messages().size(), 1);
        VorelindProcess::Options options;
        options.computerName = probe.history.messages()[0].machine;
        QVERIFY2(other.start(options, error), qPrintable(error));
    }

    Inbox inbox(m_service.socketPath(), historyPath(), other.port());
    inbox.window.show();
    QVERIFY(inbox.window.replyTo(inbox.history.messages()[0].key));
    ReplyDialog* dialog = openReplyDialog();
    QVERIFY(dialog);
    // Signed with the login name unless the user signs otherwise.
    QVERIFY(!dialog->signatureBox()->text().isEmpty());
    QCOMPARE(dialog->signatureBox()->text(), ReplyDialog::defaultSignature());
    dialog->signatureBox()->setText(QStringLiteral("Ana"));
    const QString answer = QStringLiteral("Sí, a las dos. Ñandú\nSegunda línea");
    dialog->answerBox()->setPlainText(answer);
    QTest::keyClick(dialog->answerBox(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(dialog->statusLabel()->text(), MessageSender::statusText(0), 20000);
    QVERIFY(dialog->answerBox()->toPlainText().isEmpty());

    const QList<QJsonObject> received = other.receiveOnce(&error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(received.size(), 1);
    QCOMPARE(received[0].value("text").toString(), answer);
    QCOMPARE(received[0].value("from").toString(), QStringLiteral("ANA"));
    other.stop();
}

void TestInboxService::staysResponsiveWhileAnAnswerGoesOut()
{
    // A receiver that takes the connection and never answers: the send waits out its own
    // time limits, on its own thread.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    Inbox inbox(m_service.socketPath(), historyPath(), silent.serverPort());
    QTRY_COMPARE(inbox.client.state(), ServiceClient::State::Connected);
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "Contesta si puedes"));
    QTRY_COMPARE(inbox.history.messages().size(), 1);

    QVERIFY(inbox.window.replyTo(inbox.history.messages()[0].key));
    ReplyDialog* dialog = openReplyDialog();
    QVERIFY(dialog);
    dialog->answerBox()->setPlainText(QStringLiteral("hola"));
    QTest::keyClick(dialog->answerBox(), Qt::Key_Return);
    // The key press came back before the send ended, and the window goes on handling events
    // (the accept below needs them) while the send waits.
    QCOMPARE(dialog->statusLabel()->text(), QStringLiteral("Enviando…"));
    QVERIFY(!dialog->sendButton()->isEnabled());
    QTRY_VERIFY(silent.hasPendingConnections());
    QVERIFY(send(m_service.port(), "PEDRO", "VTEST", "otro mientras tanto"));
    QTRY_COMPARE(inbox.history.messages().size(), 2);
    QCOMPARE(dialog->statusLabel()->text(), QStringLiteral("Enviando…"));

    QTRY_VERIFY_WITH_TIMEOUT(dialog->sendButton()->isEnabled(), 30000);
    QVERIFY(dialog->statusLabel()->text() != MessageSender::statusText(0));
    QVERIFY(!dialog->statusLabel()->text().isEmpty());
    QCOMPARE(dialog->answerBox()->toPlainText(), QStringLiteral("hola"));
}

void TestInboxService::opensWhollyOnTheScreen()
{
    Inbox inbox(m_service.socketPath(), historyPath(), 139);
    inbox.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&inbox.window));
    const QRect area = inbox.window.screen()->availableGeometry();
    QVERIFY2(area.contains(inbox.window.frameGeometry()),
             qPrintable(QStringLiteral("%1x%2 screen").arg(area.width()).arg(area.height())));
}

void TestInboxService::speaksSpanishWhateverTheLocale()
{
    const QLocale session;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString date = MessageView::receivedText(QStringLiteral("2026-03-05T12:00:00Z"));
    QLocale::setDefault(session);
    QVERIFY2(date.contains(QStringLiteral("marzo")), qPrintable(date));

    // Qt's own texts: the standard buttons, as the delete question shows them.
    QVERIFY(Spanish::installQtTranslations(*qApp));
    QMessageBox question;
    question.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(question.button(QMessageBox::Yes)->text(), QStringLiteral("&Sí"));
}

void TestInboxService::showsNetworkTextAsItIs_data()
{
    // PROBE stands for a file that rich text would load.
    QTest::addColumn<QString>("text");
    QTest::newRow("image") << "<img src=PROBE>";
    QTest::newRow("markup and entity") << "<b>PC</b>&amp;<a href=\"file://PROBE\">x</a>";
    QTest::newRow("table") << "<table background=PROBE><tr><td>PC";
    QTest::newRow("ampersand") << "A&B &&C";
}

void TestInboxService::showsNetworkTextAsItIs()
{
    QFETCH(QString, text);
    const QString probe = m_home->filePath(QStringLiteral("probe.png"));
    QFile file(probe);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    text.replace(QStringLiteral("PROBE"), probe);
    const OpenWatch watch(probe);

    // The sender's machine name in the answer box's caption, a send's status text in its
    // status line.
    ReplyDialog dialog(text, QStringLiteral("127.0.0.1"), QString());
    dialog.showResult(false, text);
    QLabel* caption = nullptr;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        if (label->buddy() == dialog.answerBox())
            caption = label;
    QVERIFY(caption);
    const QString captionShown = shown(caption);
    const QString statusShown = shown(dialog.statusLabel());
    // A history whose path holds the text: the notice line names it.
    const QString history = m_home->filePath(text);
    QVERIFY(QDir().mkpath(history)); // a folder, which cannot be read as a history
    Inbox inbox(m_service.socketPath(), history, 139);
    const QString noticeShown = shown(inbox.window.noticeLabel());

    QVERIFY2(!watch.opened(), "a label loaded a file its text named");
    QCOMPARE(captionShown, QStringLiteral("Respuesta para %1 (127.0.0.1):").arg(text));
    QCOMPARE(statusShown, text);
    QVERIFY2(noticeShown.contains(history), qPrintable(noticeShown));
}

QTEST_MAIN(TestInboxService)
#include "tst_inboxservice.moc"
