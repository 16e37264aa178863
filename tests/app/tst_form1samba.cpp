#include "Form1Fixture.h"
#include "app/Fonts.h"
#include "platform/messenger/SmbMessenger.h"
#include "support/SambaServer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

// The whole way from the window to a real receiver: typed into the real widgets, sent by a
// click on ENVIAR, through the real messenger, to smbd on loopback.
class TestForm1Samba : public QObject
{
    Q_OBJECT

    // Types text key by key; QTest::keyClicks takes only ASCII.
    static void type(QWidget* widget, const QString& text)
    {
        for (const QChar c : text) {
            if (c == QLatin1Char('\n'))
                QTest::keyClick(widget, Qt::Key_Return);
            else if (c.unicode() < 0x80)
                QTest::keyClick(widget, char(c.unicode()));
            else
                QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c),
                                    Qt::NoModifier);
        }
    }

private slots:
    void initTestCase()
    {
        if (SambaServer::smbdPath().isEmpty())
            QFAIL("smbd is not installed (Debian package samba); no real receiver to send to");
        installFontSubstitutes();
    }

    void typedMessageArrivesAndTheStatusLineSaysSo()
    {
        SambaServer receiver;
        QString error;
        QVERIFY2(receiver.start({}, error), qPrintable(error));

        const QString computer = QStringLiteral("VTESTSEND");
        SmbMessengerOptions options;
        options.address = 0x7F000001;
        options.sessionPort = receiver.port();
        SmbMessenger messenger(computer, options);

        QTemporaryDir configHome;
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
        QuietBusyPointer pointer;
        RecordingMessageBox boxes;
        IniRegistry registry;
        SettingsStore settings{registry};
        FakeTray tray;
        Form1 form(Form1::Services{messenger, pointer, boxes, settings, tray,
                                   [] { return QStringLiteral("127.0.0.1"); },
                                   [computer] {
                                       return computer;
                                   }});
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));

        auto* recipient = form.findChild<RecipientBox*>(QStringLiteral("Combo1"));
        auto* sender = form.findChild<QLineEdit*>(QStringLiteral("Text3"));
        auto* message = form.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
        auto* send = form.findChild<QToolButton*>(QStringLiteral("Command1"));
        auto* status = form.findChild<QLabel*>(QStringLiteral("Label1"));
        QVERIFY(recipient && sender && message && send && status);
        QCOMPARE(send->text(), QStringLiteral("ENVIAR"));

        recipient->setFocus(Qt::MouseFocusReason);
        type(recipient, QStringLiteral("vtestrecv"));
        QTest::mouseClick(sender, Qt::LeftButton);
        type(sender, QStringLiteral("ana"));
        QTest::mouseClick(message, Qt::LeftButton);
        const QString text = QStringLiteral("A\u00f1o \u00f1and\u00fa\nsegunda l\u00ednea, 100%");
        type(message, text);
        QCOMPARE(message->toPlainText(),
                 QStringLiteral("A\u00f1o \u00f1and\u00fa\nsegunda l\u00ednea, 100%"));

        QTest::mouseClick(send, Qt::LeftButton);

        QCOMPARE(status->text(), QStringLiteral("El Mensaje Fue Enviado"));
        QCOMPARE(boxes.shown.size(), 0u);
        const auto arrived = receiver.waitForReceived(1);
        QCOMPARE(arrived.size(), 1u);
        QCOMPARE(arrived.front().text,
                 QStringLiteral("A\u00f1o \u00f1and\u00fa\nsegunda l\u00ednea, 100%"));
        QCOMPARE(arrived.front().sender, QStringLiteral("ANA"));
    }
};

QTEST_MAIN(TestForm1Samba)
#include "tst_form1samba.moc"
