#include "Form1Fixture.h"
#include "app/Fonts.h"
#include "app/InfoBoxes.h"
#include "platform/dialogs/LinuxMessageBox.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QToolButton>

// The window's handlers driven as a user would: real widgets, real clicks and keys, the
// messenger and the message boxes faked and recording, the history in a real settings file.
class TestForm1Commands : public QObject
{
    Q_OBJECT

    static void fill(Form1Fixture& f, const QString& recipient, const QString& sender,
                     const QString& message)
    {
        f.control<RecipientBox>("Combo1")->setEditText(recipient);
        f.control<QLineEdit>("Text3")->setText(sender);
        f.control<QPlainTextEdit>("Text1")->setPlainText(message);
    }

    static QString storedRecipient(const Form1Fixture& f, int index)
    {
        QSettings store(f.configHome.filePath(QStringLiteral("combo/Vorelin.conf")),
                        QSettings::IniFormat);
        return store.value(QStringLiteral("List%1").arg(index)).toString();
    }

private slots:
    void initTestCase() { installFontSubstitutes(); }

    // Command1 sends the message, Command4 the address; Check1 ticked, the message empties and
    // takes the focus. The fields go out as they stand, an empty sender as a null one.
    void sendButtonsSendTheFieldsAsTheyStand_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("clear");
        QTest::addColumn<QString>("sentText");
        const auto row = [](const char* name, const char* button, const char* address,
                            const char* sender, const char* message, bool clear, const char* sent) {
            QTest::newRow(name) << QString::fromLatin1(button) << QString::fromLatin1(address)
                                << QString::fromLatin1(sender) << QString::fromLatin1(message)
                                << clear << QString::fromLatin1(sent);
        };
        const char* ip = "192.168.0.5";
        const char* myIp = "Mi Direccion IP es: 192.168.0.5";
        row("Command1", "Command1", ip, " Ana ", "Hola\nmundo", false, "Hola\nmundo");
        row("Command1, empty sender", "Command1", ip, "", "x", false, "x");
        row("Command1, clear option", "Command1", ip, "", "texto escrito", true, "texto escrito");
        row("Command4", "Command4", ip, "Ana", "borrador", false, myIp);
        row("Command4 without an address", "Command4", "", "", "", false, "Mi Direccion IP es: ");
        row("Command4, clear option", "Command4", ip, "", "texto escrito", true, myIp);
    }

    void sendButtonsSendTheFieldsAsTheyStand()
    {
        QFETCH(QString, button);
        QFETCH(QString, address);
        QFETCH(QString, sender);
        QFETCH(QString, message);
        QFETCH(bool, clear);
        QFETCH(QString, sentText);
        Form1Fixture f(true, address);
        f.form->Form_Load();
        f.showActive();
        fill(f, QStringLiteral("PC01"), sender, message);
        f.control<QCheckBox>("Check1")->setChecked(clear);
        QTest::mouseClick(f.control(qPrintable(button)), Qt::LeftButton);

        QCOMPARE(f.messenger.sent.size(), 1u);
        const SentMessage& sent = f.messenger.sent.front();
        QCOMPARE(*sent.server, std::u16string(u"MYHOST"));
        QCOMPARE(*sent.recipient, std::u16string(u"PC01"));
        QCOMPARE(sent.sender.has_value(), !sender.isEmpty());
        if (sent.sender)
            QCOMPARE(*sent.sender, sender.toStdU16String());
        QCOMPARE(sent.text, sentText);
        QCOMPARE(f.control<QLabel>("Label1")->text(), QStringLiteral("El Mensaje Fue Enviado"));
        QCOMPARE(f.control<QPlainTextEdit>("Text1")->toPlainText(), clear ? QString() : message);
        if (clear)
            QCOMPARE(QApplication::focusWidget(), f.control("Text1"));
        // A sent message's recipient is remembered, stored, and the box left empty; the
        // address's is not.
        const bool remembered = button == QLatin1String("Command1");
        QCOMPARE(f.control<RecipientBox>("Combo1")->count(), remembered ? 1 : 0);
        if (remembered)
            QCOMPARE(f.control<RecipientBox>("Combo1")->currentText(), QString());
        QCOMPARE(storedRecipient(f, 0), remembered ? QStringLiteral("PC01") : QString());
    }

    void clearButtonEmptiesOnlyTheMessage()
    {
        Form1Fixture f;
        fill(f, QStringLiteral("PC01"), QStringLiteral("Ana"), QStringLiteral("algo"));
        f.form->Command1_Click();
        fill(f, QStringLiteral("PC01"), QStringLiteral("Ana"), QStringLiteral("algo"));
        const QString status = f.control<QLabel>("Label1")->text();
        QTest::mouseClick(f.control("Command2"), Qt::LeftButton);
        QCOMPARE(f.control<QPlainTextEdit>("Text1")->toPlainText(), QString());
        QCOMPARE(f.control<RecipientBox>("Combo1")->currentText(), QStringLiteral("PC01"));
        QCOMPARE(f.control<QLineEdit>("Text3")->text(), QStringLiteral("Ana"));
        QCOMPARE(f.control<QLabel>("Label1")->text(), status);
    }

    void statusClearsItselfAndTheTimerGoesIdle()
    {
        Form1Fixture f;
        f.form->Form_Load();
        auto* timer = f.form->findChild<QTimer*>(QStringLiteral("Timer1"));
        auto* status = f.control<QLabel>("Label1");
        f.messenger.result = 2250;
        fill(f, QStringLiteral("PC01"), QString(), QStringLiteral("x"));
        f.form->Command4_Click();
        QCOMPARE(status->text(), QStringLiteral("Sin Conecion de Red"));
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), Form1Fixture::kStatusClearMs);
        QCOMPARE(MessageSender::kStatusClearMs, 1200);

        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString(), 5000);
        // Idle stays idle: a stopped timer never ticks again.
        QVERIFY(!timer->isActive());
        QCOMPARE(timer->interval(), 0);

        // An empty message sends nothing and shows nothing, but its recipient is remembered.
        fill(f, QStringLiteral("PC07"), QString(), QString());
        f.form->Command1_Click();
        QCOMPARE(f.messenger.sent.size(), 1u);
        QCOMPARE(status->text(), QString());
        QVERIFY(!timer->isActive());
        QCOMPARE(f.control<RecipientBox>("Combo1")->itemText(0), QStringLiteral("PC07"));
        QCOMPARE(storedRecipient(f, 0), QStringLiteral("PC07"));

        // It leaves a shown status and its countdown alone.
        fill(f, QStringLiteral("PC01"), QString(), QString());
        f.form->Command4_Click();
        f.form->Command1_Click();
        QCOMPARE(status->text(), QStringLiteral("Sin Conecion de Red"));
        QVERIFY(timer->isActive());
    }

    void spaceInTheRecipientIsRefusedOnLeaving_data()
    {
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<bool>("byClick"); // on another control, else Tab
        QTest::addColumn<bool>("refused");
        QTest::newRow("start") << " PC01" << false << true;
        QTest::newRow("middle") << "PC 01" << false << true;
        QTest::newRow("end") << "PC01 " << false << true;
        QTest::newRow("several") << "  P C 0 1  " << false << true;
        QTest::newRow("tab") << "PC\t01" << false << false;
        QTest::newRow("no-break space") << QStringLiteral("PC\u00a001") << false << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("plain") << "PC01" << false << false;
        QTest::newRow("middle, left by a click") << "PC 01" << true << true;
    }

    void spaceInTheRecipientIsRefusedOnLeaving()
    {
        QFETCH(QString, recipient);
        QFETCH(bool, byClick);
        QFETCH(bool, refused);
        Form1Fixture f;
        f.showActive();
        auto* recipients = f.control<RecipientBox>("Combo1");
        recipients->setFocus();
        recipients->setEditText(recipient);
        if (byClick)
            QTest::mouseClick(f.control("Text3"), Qt::LeftButton);
        else
            QTest::keyClick(recipients, Qt::Key_Tab);

        if (refused) {
            QCOMPARE(f.boxes.shown.size(), 1u);
            QCOMPARE(f.boxes.shown.front().text, QStringLiteral("Existen Espacios en Blanco"));
            QCOMPARE(f.boxes.shown.front().title, QStringLiteral("Vorelin"));
            QCOMPARE(f.boxes.shown.front().icon, MessageBox::Icon::None);
            QCOMPARE(recipients->currentText(), QString());
            QCOMPARE(QApplication::focusWidget(), recipients);
        } else {
            QVERIFY(f.boxes.shown.empty());
            QCOMPARE(recipients->currentText(), recipient);
            QCOMPARE(QApplication::focusWidget(), f.control("Text3"));
        }
    }

    void clickOnASendButtonThatRefusesTheRecipientSendsNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("Command1") << "Command1";
        QTest::newRow("Command4") << "Command4";
    }

    void clickOnASendButtonThatRefusesTheRecipientSendsNothing()
    {
        QFETCH(QString, button);
        Form1Fixture f;
        f.form->Form_Load();
        f.showActive();
        auto* recipients = f.control<RecipientBox>("Combo1");
        recipients->setFocus();
        QTest::keyClicks(recipients, QStringLiteral("PC 01"));
        f.control<QPlainTextEdit>("Text1")->setPlainText(QStringLiteral("hola"));
        QTest::mouseClick(f.control(qPrintable(button)), Qt::LeftButton);

        QCOMPARE(f.boxes.shown.size(), 1u);
        QVERIFY(f.messenger.sent.empty());
        QCOMPARE(recipients->count(), 0);
        QCOMPARE(recipients->currentText(), QString());
        QCOMPARE(QApplication::focusWidget(), recipients);

        // The next click, with a good recipient, goes through.
        recipients->setEditText(QStringLiteral("PC01"));
        QTest::mouseClick(f.control(qPrintable(button)), Qt::LeftButton);
        QCOMPARE(f.messenger.sent.size(), 1u);
        QCOMPARE(f.boxes.shown.size(), 1u);
    }

    void openingTheListOrSwitchingWindowsIsNotLeaving_data()
    {
        QTest::addColumn<int>("reason"); // -1: the real list, opened and closed
        QTest::newRow("popup") << int(Qt::PopupFocusReason);
        QTest::newRow("window switch") << int(Qt::ActiveWindowFocusReason);
        QTest::newRow("the real list") << -1;
    }

    void openingTheListOrSwitchingWindowsIsNotLeaving()
    {
        QFETCH(int, reason);
        Form1Fixture f;
        f.showActive();
        auto* recipients = f.control<RecipientBox>("Combo1");
        recipients->addItem(QStringLiteral("PC01"));
        recipients->setFocus();
        recipients->setEditText(QStringLiteral("PC 01"));
        if (reason < 0) {
            recipients->showPopup();
            QTRY_VERIFY_WITH_TIMEOUT(recipients->view()->isVisible(), 2000);
            recipients->hidePopup();
        } else {
            QFocusEvent leave(QEvent::FocusOut, Qt::FocusReason(reason));
            QApplication::sendEvent(recipients, &leave);
            QCOMPARE(recipients->currentText(), QStringLiteral("PC 01"));
        }
        QVERIFY(f.boxes.shown.empty());
    }

    // With the real modal box the check still runs once: the box taking the focus from the
    // window must not start a second check.
    void realMessageBoxShowsOnce()
    {
        LinuxMessageBox realBoxes;
        Form1Fixture f(true, QString(), nullptr, &realBoxes);
        f.showActive();

        int boxesSeen = 0;
        QTimer closer;
        closer.setInterval(50);
        QObject::connect(&closer, &QTimer::timeout, [&boxesSeen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                ++boxesSeen;
                QCOMPARE(box->text(), QStringLiteral("Existen Espacios en Blanco"));
                box->accept();
            }
        });
        closer.start();
        auto* recipients = f.control<RecipientBox>("Combo1");
        recipients->setFocus();
        recipients->setEditText(QStringLiteral("PC 01"));
        // The box runs modal inside the focus change; what it leaves behind is already posted.
        QTest::keyClick(recipients, Qt::Key_Tab);
        QCoreApplication::processEvents();
        closer.stop();
        QCOMPARE(boxesSeen, 1);
        QCOMPARE(recipients->currentText(), QString());
    }

    void helpAndAboutBoxesShowTheirTextsAndChangeNothing()
    {
        Form1Fixture f;
        f.form->Form_Load();
        f.showActive();
        fill(f, QStringLiteral("PC01"), QStringLiteral("Ana"), QStringLiteral("mensaje"));
        QTest::mouseClick(f.control("Command5"), Qt::LeftButton);
        // A double click on the logo delivers a click, then a double-click event and a release:
        // one box.
        QTest::mouseClick(f.control("Image1"), Qt::LeftButton);
        QTest::mouseDClick(f.control("Image1"), Qt::LeftButton);
        QCOMPARE(f.boxes.shown.size(), 2u);

        const ShownBox& help = f.boxes.shown[0];
        QCOMPARE(help.title, QStringLiteral("Info"));
        QCOMPARE(help.icon, MessageBox::Icon::Information);
        QCOMPARE(help.text.size(), 406);
        const QStringList helpLines =
            LinuxMessageBox::displayText(help.text).split(QLatin1Char('\n'));
        QCOMPARE(helpLines.size(), 12);
        for (int i = 0; i < helpLines.size(); ++i)
            QCOMPARE(helpLines[i].isEmpty(), i == 2 || i == 6 || i == 8);
        QCOMPARE(helpLines.last(), QStringLiteral("Responder."));

        const ShownBox& about = f.boxes.shown[1];
        QCOMPARE(about.title, QStringLiteral("ZORVA"));
        QCOMPARE(about.icon, MessageBox::Icon::Critical);
        QCOMPARE(about.text.count(QStringLiteral("\r\n")), 1);
        const QStringList aboutLines =
            LinuxMessageBox::displayText(about.text).split(QLatin1Char('\n'));
        QCOMPARE(aboutLines.size(), 6);
        for (int i = 0; i < aboutLines.size(); ++i)
            QCOMPARE(aboutLines[i].isEmpty(), i == 3);
        QCOMPARE(aboutLines[4], QStringLiteral("Para Plataformas de 32bit"));
        QCOMPARE(aboutLines[5], QStringLiteral("Windows XP,2000 y NT"));

        QCOMPARE(f.control<QPlainTextEdit>("Text1")->toPlainText(), QStringLiteral("mensaje"));
        QCOMPARE(f.control<RecipientBox>("Combo1")->currentText(), QStringLiteral("PC01"));
        QCOMPARE(f.control<QLabel>("Label1")->text(), QString());
        QVERIFY(f.messenger.sent.empty());
    }

    void startUpFillsInOrderAndLoadsTheHistory()
    {
        Form1Fixture f;
        QSettings store(f.configHome.filePath(QStringLiteral("combo/Vorelin.conf")),
                        QSettings::IniFormat);
        store.setValue(QStringLiteral("List0"), QStringLiteral("ZETA"));
        store.setValue(QStringLiteral("List1"), QStringLiteral("ALFA"));
        store.sync();

        f.form->Form_Load();
        QCOMPARE(f.control<QLabel>("Label3")->text(), QStringLiteral("192.168.0.5"));
        // A screen reader reads the address, and what it is as its description.
        QAccessibleInterface* address =
            QAccessible::queryAccessibleInterface(f.control<QLabel>("Label3"));
        QCOMPARE(address->text(QAccessible::Name), QStringLiteral("192.168.0.5"));
        QCOMPARE(address->text(QAccessible::Description), QStringLiteral("MI IP ADDRESS"));
        QCOMPARE(f.control<QLineEdit>("Text2")->text(), QStringLiteral("MYHOST"));
        auto* recipients = f.control<RecipientBox>("Combo1");
        QCOMPARE(recipients->count(), 2);
        QCOMPARE(recipients->itemText(0), QStringLiteral("ALFA"));
        QCOMPARE(recipients->currentText(), QString());
        QCOMPARE(recipients->currentIndex(), -1);
    }

    // Minimised, the window hides and its status still clears; the tray going away brings it
    // back, and the tray's gesture restores it where it was with the fields as they were.
    void minimiseHidesAndTheTrayBringsItBack()
    {
        Form1Fixture f;
        f.form->Form_Load();
        f.showActive();
        fill(f, QStringLiteral("PC01"), QString(), QStringLiteral("x"));
        f.form->Command1_Click();
        fill(f, QStringLiteral("PC01"), QStringLiteral("Ana"), QStringLiteral("texto"));
        const QRect place = f.form->geometry();

        f.tray.act(0, 0, 0);
        QVERIFY(f.form->isVisible());
        QVERIFY(!f.form->isMinimized());

        f.form->showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!f.form->isVisible(), 2000);
        QTRY_COMPARE_WITH_TIMEOUT(f.control<QLabel>("Label1")->text(), QString(), 5000);
        f.tray.available = false;
        QTRY_VERIFY_WITH_TIMEOUT(f.form->isVisible(), 2000);
        QVERIFY(!f.form->isMinimized());

        f.tray.available = true;
        f.form->showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!f.form->isVisible(), 2000);
        f.tray.act(3, 10, 20);
        QVERIFY(f.form->isVisible());
        QVERIFY(!f.form->isMinimized());
        QCOMPARE(f.form->geometry(), place);
        QCOMPARE(f.control<RecipientBox>("Combo1")->currentText(), QStringLiteral("PC01"));
        QCOMPARE(f.control<QLineEdit>("Text3")->text(), QStringLiteral("Ana"));
        QCOMPARE(f.control<QPlainTextEdit>("Text1")->toPlainText(), QStringLiteral("texto"));
    }

    void minimiseHidesOnlyWhereATrayCanBringItBack_data()
    {
        QTest::addColumn<bool>("platformAllows");
        QTest::addColumn<bool>("trayThere");
        QTest::newRow("tray") << true << true;
        QTest::newRow("tray gone") << true << false;
        QTest::newRow("platform cannot") << false << true;
    }

    void minimiseHidesOnlyWhereATrayCanBringItBack()
    {
        QFETCH(bool, platformAllows);
        QFETCH(bool, trayThere);
        Form1Fixture f(platformAllows);
        f.form->Form_Load();
        f.showActive();
        f.tray.available = trayThere;
        f.form->showMinimized();
        if (platformAllows && trayThere) {
            QTRY_VERIFY_WITH_TIMEOUT(!f.form->isVisible(), 2000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(f.form->isMinimized(), 2000);
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            QVERIFY(f.form->isVisible());
        }
    }

    // A platform operation that raises is shown with its description, and the program ends
    // with a failure code instead of carrying on half-done.
    void failingSendShowsTheErrorAndEndsTheProgram()
    {
        Form1Fixture f;
        f.showActive();
        fill(f, QStringLiteral("PC01"), QString(), QStringLiteral("hola"));
        f.messenger.failure = "El servicio de mensajes no responde";

        QTimer::singleShot(0, f.form.get(), [&f] { f.form->Command1_Click(); });
        QTimer::singleShot(10000, qApp, [] { QApplication::exit(99); });
        QCOMPARE(QApplication::exec(), EXIT_FAILURE);

        QVERIFY(f.form->failed());
        QCOMPARE(f.boxes.shown.size(), 1u);
        QCOMPARE(f.boxes.shown[0].text, QStringLiteral("El servicio de mensajes no responde"));
        QCOMPARE(f.boxes.shown[0].title, QStringLiteral("Vorelin"));
        QCOMPARE(f.boxes.shown[0].icon, MessageBox::Icon::Critical);
        // The failed send is not remembered as a used recipient.
        QCOMPARE(storedRecipient(f, 0), QString());
    }

    void failingStartUpIsReportedBeforeTheWindowShows()
    {
        Form1Fixture f;
        f.addressFailure = "Sin adaptadores";
        f.form->Form_Load();
        QVERIFY(f.form->failed());
        QVERIFY(!f.form->isVisible());
        QCOMPARE(f.boxes.shown.size(), 1u);
        QCOMPARE(f.boxes.shown[0].text, QStringLiteral("Sin adaptadores"));
        QCOMPARE(f.boxes.shown[0].icon, MessageBox::Icon::Critical);
        QCOMPARE(f.control<RecipientBox>("Combo1")->count(), 0);
    }
};

QTEST_MAIN(TestForm1Commands)
#include "tst_form1commands.moc"
