#include "Form1Fixture.h"
#include "app/Fonts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

// The window as designed, written out independently of the table the window is built from:
// places in pixels (twips / 15), captions, fonts and colours.
class TestForm1Layout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFontSubstitutes(); }

    void windowIsFixedAtItsPlace()
    {
        Form1Fixture f;
        f.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.form.get()));
        QCOMPARE(f.form->windowTitle(), QStringLiteral("Vorelin"));
        QCOMPARE(f.form->geometry(), QRect(294, 110, 370, 308));
        QCOMPARE(f.form->minimumSize(), QSize(370, 308));
        QCOMPARE(f.form->maximumSize(), QSize(370, 308));
        const Qt::WindowFlags flags = f.form->windowFlags();
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!f.form->windowIcon().isNull());
    }

    void controlsSitInTheirContainers_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("place");
        QTest::newRow("Frame1") << "Form1" << QRect(4, 4, 174, 53);
        QTest::newRow("Combo1") << "Frame1" << QRect(11, 21, 153, 24);
        QTest::newRow("Text2") << "Frame1" << QRect(13, 21, 143, 23);
        QTest::newRow("Frame2") << "Form1" << QRect(4, 64, 175, 237);
        QTest::newRow("Frame4") << "Frame2" << QRect(6, 15, 163, 52);
        QTest::newRow("Text3") << "Frame4" << QRect(8, 19, 147, 24);
        QTest::newRow("Text1") << "Frame2" << QRect(7, 72, 161, 158);
        QTest::newRow("Frame3") << "Form1" << QRect(190, 121, 172, 114);
        QTest::newRow("Check1") << "Frame3" << QRect(10, 17, 141, 28);
        QTest::newRow("Command1") << "Frame3" << QRect(5, 45, 52, 41);
        QTest::newRow("Command2") << "Frame3" << QRect(60, 44, 52, 42);
        QTest::newRow("Label1") << "Frame3" << QRect(5, 90, 161, 20);
        QTest::newRow("Frame5") << "Form1" << QRect(190, 4, 172, 116);
        QTest::newRow("Label2") << "Frame5" << QRect(11, 19, 84, 14);
        QTest::newRow("Label3") << "Frame5" << QRect(10, 36, 153, 24);
        QTest::newRow("Command4") << "Frame5" << QRect(9, 63, 60, 48);
        QTest::newRow("Command5") << "Frame5" << QRect(98, 62, 63, 49);
        QTest::newRow("Frame6") << "Form1" << QRect(191, 235, 170, 65);
        QTest::newRow("Image1") << "Frame6" << QRect(3, 9, 163, 51);
    }

    void controlsSitInTheirContainers()
    {
        QFETCH(QString, container);
        QFETCH(QRect, place);
        Form1Fixture f;
        QWidget* control = f.control(QTest::currentDataTag());
        QVERIFY(control);
        QCOMPARE(control->parentWidget()->objectName(), container);
        QCOMPARE(control->geometry(), place);
    }

    void captionsAreAsDesigned()
    {
        Form1Fixture f;
        QCOMPARE(f.control<QGroupBox>("Frame1")->title(), QStringLiteral("Enviar Mensaje a:"));
        QCOMPARE(f.control<QGroupBox>("Frame2")->title(), QStringLiteral("Mensaje"));
        QCOMPARE(f.control<QGroupBox>("Frame3")->title(), QStringLiteral("Accion"));
        QCOMPARE(f.control<QGroupBox>("Frame4")->title(), QStringLiteral("Nombre Personalizado"));
        QCOMPARE(f.control<QGroupBox>("Frame5")->title(), QStringLiteral("Enviar mi IP"));
        QCOMPARE(f.control<QGroupBox>("Frame6")->title(), QString());
        QCOMPARE(f.control<QCheckBox>("Check1")->text(),
                 QStringLiteral("Borrar Mensaje al Enviar"));
        QVERIFY(!f.control<QCheckBox>("Check1")->isChecked());
        QCOMPARE(f.control<QToolButton>("Command1")->text(), QStringLiteral("ENVIAR"));
        QCOMPARE(f.control<QToolButton>("Command2")->text(), QStringLiteral("BORRAR"));
        QCOMPARE(f.control<QToolButton>("Command4")->text(), QStringLiteral("Enviar"));
        QCOMPARE(f.control<QToolButton>("Command4")->toolTip(), QStringLiteral("Enviar mi IP"));
        QCOMPARE(f.control<QToolButton>("Command5")->toolButtonStyle(), Qt::ToolButtonIconOnly);
        QCOMPARE(f.control<QToolButton>("Command5")->toolTip(), QStringLiteral("Ayuda"));
        QCOMPARE(f.control<QLabel>("Label2")->text(), QStringLiteral("MI IP ADDRESS"));
        for (const char* empty : {"Label1", "Label3"})
            QCOMPARE(f.control<QLabel>(empty)->text(), QString());
        for (const char* button : {"Command1", "Command2", "Command4", "Command5"})
            QVERIFY(!f.control<QToolButton>(button)->icon().isNull());
        QVERIFY(!f.control<QLabel>("Image1")->pixmap().isNull());
        QCOMPARE(f.control<QLabel>("Image1")->pixmap().size(), QSize(411, 92));
        QVERIFY(f.control<QLabel>("Image1")->hasScaledContents());
    }

    void noCaptionHoldsAnAccessKey()
    {
        Form1Fixture f;
        for (const QAbstractButton* button : f.form->findChildren<QAbstractButton*>())
            QVERIFY2(!button->text().contains(QLatin1Char('&')), qPrintable(button->objectName()));
        for (const QGroupBox* frame : f.form->findChildren<QGroupBox*>())
            QVERIFY2(!frame->title().contains(QLatin1Char('&')), qPrintable(frame->objectName()));
    }

    void fontsMapToFreeFacesAtTheirDesignSize_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("pixelSize");
        QTest::addColumn<bool>("bold");
        // 8.25 pt is 11 px at 96 dpi, 9 pt 12 px, 9.75 pt 13 px, 11.25 pt 15 px.
        QTest::newRow("Frame1") << "Liberation Sans" << 11 << true;
        QTest::newRow("Combo1") << "Liberation Sans" << 13 << true;
        QTest::newRow("Text2") << "Liberation Sans" << 15 << false;
        QTest::newRow("Frame2") << "Liberation Sans" << 12 << true;
        QTest::newRow("Text3") << "Liberation Sans" << 11 << true;
        QTest::newRow("Text1") << "Liberation Sans" << 13 << true;
        QTest::newRow("Check1") << "DejaVu Sans" << 11 << false;
        QTest::newRow("Command1") << "Liberation Sans" << 11 << false;
        QTest::newRow("Label1") << "Liberation Sans Narrow" << 11 << true;
        QTest::newRow("Label2") << "Liberation Sans" << 11 << false;
        QTest::newRow("Label3") << "Liberation Sans" << 13 << true;
    }

    void fontsMapToFreeFacesAtTheirDesignSize()
    {
        QFETCH(QString, family);
        QFETCH(int, pixelSize);
        QFETCH(bool, bold);
        Form1Fixture f;
        const QFont font = f.control(QTest::currentDataTag())->font();
        const QFontInfo shown(font);
        // Condensed DejaVu reports itself as "DejaVu Sans" with a condensed stretch.
        QVERIFY2(shown.family().startsWith(family), qPrintable(shown.family()));
        QCOMPARE(font.pixelSize(), pixelSize);
        QCOMPARE(font.bold(), bold);
    }

    void coloursAreAsDesigned()
    {
        Form1Fixture f;
        const auto text = [&f](const char* name, QPalette::ColorRole role) {
            return f.control(name)->palette().color(role);
        };
        QCOMPARE(text("Combo1", QPalette::Text), QColor(0, 0, 255));
        QCOMPARE(f.control<QComboBox>("Combo1")->lineEdit()->palette().color(QPalette::Text),
                 QColor(0, 0, 255));
        QCOMPARE(text("Text1", QPalette::Text), QColor(128, 128, 128));
        QCOMPARE(text("Frame4", QPalette::WindowText), QColor(0, 0, 192));
        QCOMPARE(text("Label1", QPalette::WindowText), QColor(0, 0, 128));
        QCOMPARE(text("Label1", QPalette::Window), QColor(255, 255, 0));
        QCOMPARE(text("Label2", QPalette::WindowText), QColor(0, 0, 255));
        QCOMPARE(text("Label3", QPalette::WindowText), QColor(0, 255, 0));
        QCOMPARE(text("Label3", QPalette::Window), QColor(0, 0, 0));
        for (const char* boxed : {"Label1", "Label3"}) {
            auto* label = f.control<QLabel>(boxed);
            QVERIFY(label->autoFillBackground());
            QCOMPARE(label->frameShape(), QFrame::Box);
            QCOMPARE(label->alignment(), Qt::AlignCenter);
        }
    }

    void tabVisitsTheControlsInOrderAndNeverText2()
    {
        Form1Fixture f;
        f.form->show();
        QVERIFY(QTest::qWaitForWindowActive(f.form.get()));
        QCOMPARE(QApplication::focusWidget(), f.control("Combo1"));
        QStringList visited;
        for (int step = 0; step < 8; ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(visited, (QStringList{"Text3", "Text1", "Check1", "Command1", "Command2",
                                       "Command4", "Command5", "Combo1"}));
        QVERIFY(!f.control("Text2")->isVisible());
        QCOMPARE(f.control("Text2")->focusPolicy(), Qt::NoFocus);
    }

    void enterInTheMessageBreaksTheLineAndPressesNothing()
    {
        Form1Fixture f;
        f.form->show();
        QVERIFY(QTest::qWaitForWindowActive(f.form.get()));
        auto* message = f.control<QPlainTextEdit>("Text1");
        message->setFocus();
        QTest::keyClicks(message, QStringLiteral("uno"));
        QTest::keyClick(message, Qt::Key_Return);
        QTest::keyClicks(message, QStringLiteral("dos"));
        QCOMPARE(message->toPlainText(), QStringLiteral("uno\ndos"));
        QVERIFY(f.messenger.sent.empty());
        QTest::keyClick(message, Qt::Key_Escape);
        QVERIFY(f.form->isVisible());
    }

    void fieldsHaveNoLengthLimit()
    {
        Form1Fixture f;
        const QString longText(40000, QLatin1Char('x'));
        f.control<QLineEdit>("Text3")->setText(longText);
        QCOMPARE(f.control<QLineEdit>("Text3")->text().size(), longText.size());
        f.control<QComboBox>("Combo1")->setEditText(longText);
        QCOMPARE(f.control<QComboBox>("Combo1")->currentText().size(), longText.size());
    }

    void recipientListStaysSortedAndEnterAddsNothing()
    {
        Form1Fixture f;
        f.form->show();
        QVERIFY(QTest::qWaitForWindowActive(f.form.get()));
        auto* recipients = f.control<RecipientBox>("Combo1");
        for (const char* name : {"pc02", "Ana", "zeta", "PC01", "beto"})
            recipients->addItem(QString::fromLatin1(name));
        QStringList order;
        for (int i = 0; i < recipients->count(); ++i)
            order << recipients->itemText(i);
        QCOMPARE(order, (QStringList{"Ana", "beto", "PC01", "pc02", "zeta"}));

        QTest::keyClicks(recipients, QStringLiteral("NUEVO"));
        QTest::keyClick(recipients, Qt::Key_Return);
        QCOMPARE(recipients->count(), 5);
        QCOMPARE(recipients->currentText(), QStringLiteral("NUEVO"));
    }

    void statusTimerStartsIdle()
    {
        Form1Fixture f;
        auto* timer = f.form->findChild<QTimer*>(QStringLiteral("Timer1"));
        QVERIFY(timer);
        QVERIFY(!timer->isActive());
        QCOMPARE(timer->interval(), 0);
    }
};

QTEST_MAIN(TestForm1Layout)
#include "tst_form1layout.moc"
