#include "Form1Fixture.h"
#include "app/Fonts.h"
#include "messaging/MessageSender.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

using namespace std::chrono_literals;

namespace {

// A receiver that holds its reply until the test lets it go (or 5 s pass).
class HoldingMessenger final : public Messenger
{
public:
    std::int32_t NetMessageBufferSend(const char16_t*, const char16_t*, const char16_t*,
                                      const std::uint8_t*, std::uint32_t) override
    {
        ++calls;
        std::unique_lock lock(m_mutex);
        releasedInTime = m_released.wait_for(lock, 5s, [this] { return m_release; });
        m_release = false;
        return 0;
    }

    void release()
    {
        const std::lock_guard lock(m_mutex);
        m_release = true;
        m_released.notify_all();
    }

    std::atomic<int> calls{0};
    std::atomic<bool> releasedInTime{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_release = false;
};

// WCAG relative luminance and contrast ratio.
double luminance(QColor c)
{
    const auto channel = [](double v) {
        v /= 255.0;
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

double contrast(QColor a, QColor b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct TextPixels
{
    int drawn = 0;                // pixels of exactly the text colour
    std::optional<QColor> behind; // the commonest colour around the text
};

// Where a control paints text of a colour, and what it paints around it.
TextPixels textPixelsOf(QWidget* widget, QColor text)
{
    const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QRect area;
    TextPixels found;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (text.rgb() & 0xFFFFFF)) {
                ++found.drawn;
                area |= QRect(x, y, 1, 1);
            }
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != (text.rgb() & 0xFFFFFF))
                ++counts[image.pixel(x, y) & 0xFFFFFF];
    int best = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > best) {
            best = it.value();
            found.behind = QColor(it.key());
        }
    return found;
}

QPalette darkPalette()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(45, 45, 45));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::AlternateBase, QColor(45, 45, 45));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(50, 50, 50));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    return dark;
}

} // namespace

// What the window owes the desktop it runs on: no freeze while sending, keys taken as typed,
// readable colours on a dark theme, status texts that fit, and names for assistive technology.
class TestForm1Desktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFontSubstitutes(); }

    // While a receiver holds its reply the window's event loop runs (a timer fires), and the
    // clicks and keys the user makes meanwhile are dropped, not replayed as more sends.
    void inputDuringASendIsDroppedNotReplayed()
    {
        HoldingMessenger holding;
        Form1Fixture f(true, QStringLiteral("192.168.0.5"), &holding);
        f.form->Form_Load();
        f.showActive();
        auto* recipients = f.control<RecipientBox>("Combo1");
        auto* message = f.control<QPlainTextEdit>("Text1");
        auto* send = f.control<QToolButton>("Command1");
        recipients->setEditText(QStringLiteral("PC01"));
        message->setPlainText(QStringLiteral("hola"));

        bool ranDuringTheSend = false;
        QTimer duringTheSend;
        duringTheSend.setInterval(5);
        QObject::connect(&duringTheSend, &QTimer::timeout, f.form.get(), [&] {
            if (holding.calls != 1 || ranDuringTheSend)
                return;
            ranDuringTheSend = true;
            QTest::mouseClick(send, Qt::LeftButton);
            QTest::mouseClick(f.control("Command4"), Qt::LeftButton);
            QTest::keyClick(send, Qt::Key_Space);
            QTest::keyClicks(message, QStringLiteral("xyz"));
            f.form->Command1_Click();
            holding.release();
        });
        duringTheSend.start();
        QTest::mouseClick(send, Qt::LeftButton);
        duringTheSend.stop();

        QVERIFY(ranDuringTheSend);
        QVERIFY(holding.releasedInTime);
        QCOMPARE(holding.calls.load(), 1);
        QCOMPARE(message->toPlainText(), QStringLiteral("hola"));
        QCOMPARE(f.control<QLabel>("Label1")->text(), QStringLiteral("El Mensaje Fue Enviado"));
        QCOMPARE(recipients->itemText(0), QStringLiteral("PC01"));
        QCoreApplication::processEvents();
        QCOMPARE(holding.calls.load(), 1);

        // Input counts again once the send is over.
        holding.release();
        QTest::mouseClick(send, Qt::LeftButton);
        QCOMPARE(holding.calls.load(), 2);
    }

    // Typed, confirmed with Return and sent, a recipient stays as typed; the list still opens
    // from the keyboard.
    void recipientIsSentAsTyped_data()
    {
        QTest::addColumn<QStringList>("history");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QKeyCombination>("opener");
        const QKeyCombination altDown(Qt::AltModifier, Qt::Key_Down);
        const QKeyCombination f4(Qt::Key_F4);
        QTest::newRow("prefix of a stored address")
            << QStringList{"127.0.0.10"} << "127.0.0.1" << altDown;
        QTest::newRow("other case than stored") << QStringList{"PC01"} << "pc01" << f4;
        QTest::newRow("prefix of a name") << QStringList{"PC01", "PC02"} << "PC" << altDown;
        QTest::newRow("stored already") << QStringList{"127.0.0.1"} << "127.0.0.1" << f4;
    }

    void recipientIsSentAsTyped()
    {
        QFETCH(QStringList, history);
        QFETCH(QString, typed);
        QFETCH(QKeyCombination, opener);
        Form1Fixture f;
        f.showActive();
        auto* recipients = f.control<RecipientBox>("Combo1");
        for (const QString& entry : history)
            recipients->addItem(entry);
        recipients->setFocus();
        QTest::keyClicks(recipients->lineEdit(), typed);
        QTest::keyClick(recipients->lineEdit(), Qt::Key_Return);
        QCOMPARE(recipients->currentText(), typed);
        if (!history.contains(typed))
            QCOMPARE(recipients->currentIndex(), -1);
        QTest::keyClick(recipients, opener.key(), opener.keyboardModifiers());
        QTRY_VERIFY_WITH_TIMEOUT(recipients->view()->isVisible(), 2000);
        recipients->hidePopup();
        QCOMPARE(recipients->currentText(), typed);
        f.control<QPlainTextEdit>("Text1")->setPlainText(QStringLiteral("hola"));
        QTest::mouseClick(f.control("Command1"), Qt::LeftButton);

        QCOMPARE(f.messenger.sent.size(), 1u);
        QCOMPARE(*f.messenger.sent.front().recipient, typed.toStdU16String());
        QCOMPARE(recipients->count(), history.size() + (history.contains(typed) ? 0 : 1));
        QVERIFY(recipients->findText(typed, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0);
    }

    void listOpensFromTheKeyboardAndAPickFillsTheBox_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Alt+Down") << int(Qt::Key_Down) << int(Qt::AltModifier);
        QTest::newRow("F4") << int(Qt::Key_F4) << int(Qt::NoModifier);
    }

    void listOpensFromTheKeyboardAndAPickFillsTheBox()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Form1Fixture f;
        f.showActive();
        auto* recipients = f.control<RecipientBox>("Combo1");
        for (const char* entry : {"ALFA", "BETA"})
            recipients->addItem(QString::fromLatin1(entry));
        recipients->setFocus();
        QTest::keyClick(recipients->lineEdit(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_VERIFY_WITH_TIMEOUT(recipients->view()->isVisible(), 2000);
        QTest::keyClick(recipients->view(), Qt::Key_Down);
        const QString picked = recipients->view()->currentIndex().data().toString();
        QVERIFY(!picked.isEmpty());
        QTest::keyClick(recipients->view(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!recipients->view()->isVisible(), 2000);
        QCOMPARE(recipients->currentText(), picked);
    }

    // Under a dark desktop palette every designed text colour still reads against what is
    // really painted behind it. Text1's grey on white is the designed exception; Text3 types in
    // the desktop's own text colour.
    void designedColoursReadOnADarkDesktop_data()
    {
        QTest::addColumn<QColor>("designed");
        QTest::addColumn<double>("least");
        QTest::newRow("Combo1") << QColor(0, 0, 255) << 4.5;
        QTest::newRow("Frame4") << QColor(0, 0, 192) << 4.5;
        QTest::newRow("Label1") << QColor(0, 0, 128) << 4.5;
        QTest::newRow("Label2") << QColor(0, 0, 255) << 4.5;
        QTest::newRow("Label3") << QColor(0, 255, 0) << 4.5;
        QTest::newRow("Text1") << QColor(128, 128, 128) << 3.9;
        QTest::newRow("Text3") << darkPalette().color(QPalette::Text) << 4.5;
    }

    void designedColoursReadOnADarkDesktop()
    {
        QFETCH(QColor, designed);
        QFETCH(double, least);
        const QPalette before = QApplication::palette();
        QApplication::setPalette(darkPalette());
        Form1Fixture f;
        f.form->Form_Load();
        f.control<RecipientBox>("Combo1")->setEditText(QStringLiteral("MMMMMMMM"));
        f.control<QPlainTextEdit>("Text1")->setPlainText(QStringLiteral("MMMMMMMM"));
        f.control<QLineEdit>("Text3")->setText(QStringLiteral("MMMMMMMM"));
        f.form->Command4_Click();
        f.showActive();

        const TextPixels pixels = textPixelsOf(f.control(QTest::currentDataTag()), designed);
        QApplication::setPalette(before);
        QVERIFY2(pixels.drawn > 0 && pixels.behind, "the text is not drawn in its colour");
        const double ratio = contrast(designed, *pixels.behind);
        QVERIFY2(ratio >= least, qPrintable(QStringLiteral("%1:1 against %2")
                                                .arg(ratio, 0, 'f', 2)
                                                .arg(pixels.behind->name())));
    }

    void everyStatusTextFitsTheStatusLine_data()
    {
        QTest::addColumn<int>("code");
        for (int code : {0, 5, 50, 53, 87, 123, 2136, 2250, 2273, -1})
            QTest::addRow("%d", code) << code;
    }

    void everyStatusTextFitsTheStatusLine()
    {
        QFETCH(int, code);
        Form1Fixture f;
        f.messenger.result = code;
        f.form->Command4_Click();
        auto* status = f.control<QLabel>("Label1");
        QCOMPARE(status->text(), MessageSender::statusText(code));
        const QFontInfo resolved(status->font());
        QCOMPARE(resolved.family(), QStringLiteral("Liberation Sans Narrow"));
        QVERIFY(resolved.bold());
        QCOMPARE(resolved.pixelSize(), 11);
        const int width = QFontMetrics(status->font()).horizontalAdvance(status->text());
        QVERIFY2(width <= status->contentsRect().width(),
                 qPrintable(
                     QStringLiteral("%1 px in %2").arg(width).arg(status->contentsRect().width())));
    }

    void controlsAreNamedByTheirCaptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("Combo1") << "Enviar Mensaje a:";
        QTest::newRow("Text3") << "Nombre Personalizado";
        QTest::newRow("Text1") << "Mensaje";
        QTest::newRow("Command4") << "Enviar mi IP";
        QTest::newRow("Command5") << "Ayuda";
    }

    void controlsAreNamedByTheirCaptions()
    {
        QFETCH(QString, name);
        Form1Fixture f;
        QWidget* control = f.control(QTest::currentDataTag());
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        QVERIFY(accessible);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (auto* box = qobject_cast<QComboBox*>(control))
            QCOMPARE(
                QAccessible::queryAccessibleInterface(box->lineEdit())->text(QAccessible::Name),
                name);
    }

    // The status line is a status bar named by the text it shows; empty, it is "Estado",
    // never the frame's "Accion". (The name-change events are checked through AT-SPI in
    // e2e_accessibility.)
    void statusLineIsAStatusBarNamedByItsText()
    {
        Form1Fixture f;
        auto* status = f.control<QLabel>("Label1");
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(status);
        QVERIFY(accessible);
        QCOMPARE(accessible->role(), QAccessible::StatusBar);
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Estado"));
        f.messenger.result = 2273;
        f.form->Command4_Click();
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("No Se Encontro al Usuario"));
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString(), 5000);
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Estado"));
    }

    void returnAndEnterPressTheFocusedButton_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Command1 Return") << "Command1" << int(Qt::Key_Return) << 0;
        QTest::newRow("Command1 keypad Enter")
            << "Command1" << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
        QTest::newRow("Command2 Return") << "Command2" << int(Qt::Key_Return) << 0;
        QTest::newRow("Command5 keypad Enter")
            << "Command5" << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }

    void returnAndEnterPressTheFocusedButton()
    {
        QFETCH(QString, button);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Form1Fixture f;
        f.showActive();
        f.control<QPlainTextEdit>("Text1")->setPlainText(QStringLiteral("hola"));
        QWidget* pressed = f.control(qPrintable(button));
        pressed->setFocus();
        QTest::keyClick(pressed, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

        const bool sent = !f.messenger.sent.empty();
        const bool cleared = f.control<QPlainTextEdit>("Text1")->toPlainText().isEmpty();
        const bool helped = !f.boxes.shown.empty();
        QCOMPARE(sent, button == QLatin1String("Command1"));
        QCOMPARE(cleared, button == QLatin1String("Command2"));
        QCOMPARE(helped, button == QLatin1String("Command5"));
    }
};

QTEST_MAIN(TestForm1Desktop)
#include "tst_form1desktop.moc"
