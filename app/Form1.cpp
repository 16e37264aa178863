#include "app/Form1.h"

#include "app/Fonts.h"
#include "app/Form1Design.h"
#include "app/InfoBoxes.h"
#include "app/StatusLabel.h"
#include "messaging/NetMessageRequest.h"
#include "platform/dialogs/MessageBox.h"
#include "platform/tray/Tray.h"
#include "settings/RecipientBox.h"
#include "settings/RecipientHistory.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QHash>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>

using namespace form1design;

namespace {

QString text(std::string_view value)
{
    return QString::fromUtf8(value.data(), qsizetype(value.size()));
}

QColor color(const Rgb& rgb)
{
    return QColor(rgb.red, rgb.green, rgb.blue);
}

QIcon pictureIcon(std::string_view picture)
{
    const QString base = QStringLiteral(":/pictures/icons/") + text(picture);
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(base + QStringLiteral("-%1.png").arg(size), QSize(size, size));
    return icon;
}

QWidget* makeControl(const Control& design, QWidget* container)
{
    switch (design.kind) {
    case Kind::Frame:
        return new QGroupBox(text(design.caption), container);
    case Kind::ComboBox:
        return new RecipientBox(container);
    case Kind::LineEdit:
        return new QLineEdit(container);
    case Kind::TextEdit:
        return new QPlainTextEdit(container);
    case Kind::CheckBox:
        return new QCheckBox(text(design.caption), container);
    case Kind::PictureButton:
    case Kind::PictureOnlyButton: {
        auto* button = new QToolButton(container);
        button->setText(text(design.caption));
        button->setIcon(pictureIcon(design.picture));
        button->setToolButtonStyle(design.kind == Kind::PictureButton ? Qt::ToolButtonTextUnderIcon
                                                                      : Qt::ToolButtonIconOnly);
        // Buttons take the focus when clicked, as push buttons do.
        button->setFocusPolicy(Qt::StrongFocus);
        return button;
    }
    case Kind::Label:
        return new QLabel(text(design.caption), container);
    case Kind::StatusLine:
        return new StatusLabel(text(design.caption), container);
    case Kind::Picture: {
        auto* picture = new QLabel(container);
        picture->setPixmap(
            QPixmap(QStringLiteral(":/pictures/") + text(design.picture) + QStringLiteral(".png")));
        picture->setScaledContents(true);
        return picture;
    }
    }
    return nullptr;
}

bool isBox(Kind kind)
{
    return kind == Kind::ComboBox || kind == Kind::LineEdit || kind == Kind::TextEdit;
}

// A designed text colour comes with the background it was designed against; everything else
// keeps the desktop's colours.
void applyColours(QWidget* widget, const Control& design)
{
    if (!design.foreground.isSet() && !design.background.isSet())
        return;
    QPalette palette = widget->palette();
    if (design.foreground.isSet()) {
        palette.setColor(QPalette::WindowText, color(design.foreground));
        palette.setColor(QPalette::Text, color(design.foreground));
        palette.setColor(QPalette::ButtonText, color(design.foreground));
    }
    if (design.background.isSet()) {
        palette.setColor(QPalette::Window, color(design.background));
        widget->setAutoFillBackground(true);
    } else if (isBox(design.kind)) {
        palette.setColor(QPalette::Base, color(kBoxBackground));
        palette.setColor(QPalette::Button, color(kFaceBackground));
    } else {
        palette.setColor(QPalette::Window, color(kFaceBackground));
        palette.setColor(QPalette::Button, color(kFaceBackground));
        widget->setAutoFillBackground(true);
    }
    widget->setPalette(palette);
}

// A frame's caption colour is not its contents' colour: those keep the desktop's own.
void keepDesktopTextColours(QWidget* widget)
{
    const QPalette desktop = QApplication::palette(widget);
    QPalette palette = widget->palette();
    for (const QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::Window,
          QPalette::Button})
        for (const QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, role, desktop.color(group, role));
    widget->setPalette(palette);
}

} // namespace

Form1::Form1(const Services& services, QWidget* parent)
    : QWidget(parent), m_services(services),
      m_sender(services.messenger, services.busyPointer, *this, services.statusClearMs),
      AniTray1(services.tray)
{
    StatusLabel::installAccessibility();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(text(kCaption));
    setWindowIcon(QIcon(QStringLiteral(":/pictures/icons/vorelin-32.png")));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(designFont(kDefaultFont));
    setFixedSize(pixels(kWidth), pixels(kHeight));
    // The place is the client area's, not the frame's, so setGeometry rather than move.
    setGeometry(pixels(kLeft), pixels(kTop), pixels(kWidth), pixels(kHeight));

    createControls();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(0);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

    AniTray1.setUserActionHandler(
        [this](int button, int shift, int extra) { AniTray1_UserAction(button, shift, extra); });
    m_trayPoll = new QTimer(this);
    m_trayPoll->setInterval(m_services.trayPollMs);
    connect(m_trayPoll, &QTimer::timeout, this, &Form1::checkTrayWhileHidden);

    m_history =
        std::make_unique<RecipientHistory>(*Combo1, m_services.settings, m_services.messageBox);

    connect(Command1, &QToolButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QToolButton::clicked, this, &Form1::Command2_Click);
    connect(Command4, &QToolButton::clicked, this, &Form1::Command4_Click);
    connect(Command5, &QToolButton::clicked, this, &Form1::Command5_Click);
    Combo1->installEventFilter(this);
    for (QToolButton* button : {Command1, Command2, Command4, Command5})
        button->installEventFilter(this);
    Image1->installEventFilter(this);
}

Form1::~Form1()
{
    AniTray1.setUserActionHandler({});
}

void Form1::createControls()
{
    QHash<QString, QWidget*> byName;
    for (const Control& design : kControls) {
        QWidget* container = design.container.empty() ? this : byName.value(text(design.container));
        QWidget* control = makeControl(design, container);
        control->setObjectName(text(design.name));
        if (design.font.hundredthsOfPoint > 0)
            control->setFont(designFont(design.font));
        control->setGeometry(pixels(design.left), pixels(design.top), pixels(design.width),
                             pixels(design.height));
        applyColours(control, design);
        if (!design.toolTip.empty())
            control->setToolTip(text(design.toolTip));
        if (!design.accessibleName.empty())
            control->setAccessibleName(text(design.accessibleName));
        byName.insert(control->objectName(), control);
    }

    const auto find = [&byName](const char* name) {
        return byName.value(QLatin1String(name));
    };
    Combo1 = static_cast<RecipientBox*>(find("Combo1"));
    Text2 = static_cast<QLineEdit*>(find("Text2"));
    Text3 = static_cast<QLineEdit*>(find("Text3"));
    Text1 = static_cast<QPlainTextEdit*>(find("Text1"));
    Check1 = static_cast<QCheckBox*>(find("Check1"));
    Command1 = static_cast<QToolButton*>(find("Command1"));
    Command2 = static_cast<QToolButton*>(find("Command2"));
    Command4 = static_cast<QToolButton*>(find("Command4"));
    Command5 = static_cast<QToolButton*>(find("Command5"));
    Label1 = static_cast<StatusLabel*>(find("Label1"));
    Label2 = static_cast<QLabel*>(find("Label2"));
    Label3 = static_cast<QLabel*>(find("Label3"));
    Image1 = static_cast<QLabel*>(find("Image1"));

    keepDesktopTextColours(Text3);
    Combo1->lineEdit()->setAccessibleName(Combo1->accessibleName());
    // The address is what the label is for; the caption above it says what it is.
    Label3->setAccessibleDescription(Label2->text());

    constexpr int unlimited = std::numeric_limits<int>::max();
    Combo1->lineEdit()->setMaxLength(unlimited);
    Text3->setMaxLength(unlimited);
    // Text2 lies under Combo1 and only carries the computer name.
    Text2->setVisible(false);
    Text2->setFocusPolicy(Qt::NoFocus);
    Text1->setTabChangesFocus(true);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (QLabel* status : {static_cast<QLabel*>(Label1), Label3}) {
        status->setTextFormat(Qt::PlainText);
        status->setFrameStyle(QFrame::Box | QFrame::Plain);
        status->setLineWidth(1);
        status->setAlignment(Qt::AlignCenter);
    }
    for (QToolButton* button : {Command1, Command2})
        button->setIconSize(QSize(24, 24));
    for (QToolButton* button : {Command4, Command5})
        button->setIconSize(QSize(32, 32));

    QWidget* previous = nullptr;
    for (std::string_view name : kTabOrder) {
        QWidget* next = byName.value(text(name));
        if (previous != nullptr)
            setTabOrder(previous, next);
        previous = next;
    }
    Combo1->setFocus(Qt::OtherFocusReason);
}

void Form1::Form_Load()
{
    guarded([this] {
        Label3->setText(m_services.localIPAddress());
        Label3->setAccessibleName(Label3->text());
        Text2->setText(m_services.localComputerName());
        AniTray1.show();
        AniTray1.startAnimation();
        m_history->LoadRecipientHistory();
    });
}

void Form1::CreateKey(const QString& folder, const QString& Value)
{
    m_services.settings.CreateKey(folder, Value);
}

void Form1::CreateIntegerKey(const QString& folder, const qint16& Value)
{
    m_services.settings.CreateIntegerKey(folder, Value);
}

QString Form1::ReadKey(const QString& Value)
{
    return m_services.settings.ReadKey(Value);
}

void Form1::DeleteKey(const QString& Value)
{
    m_services.settings.DeleteKey(Value);
}

void Form1::Command1_Click()
{
    // Clicks made during a send never arrive; a press from assistive technology does, and
    // must not remember and empty the recipient box under the send.
    if (m_sender.sending())
        return;
    guarded([this] {
        sendFromWindow(Text1->toPlainText());
        m_history->RememberRecipient(*Combo1);
    });
}

void Form1::Command2_Click()
{
    if (m_sender.sending())
        return;
    Text1->clear();
}

void Form1::Command4_Click()
{
    guarded([this] { sendFromWindow(QStringLiteral("Mi Direccion IP es: ") + Label3->text()); });
}

// Both send buttons: the names as they stand, and the clear option applied once the
// request holds the message.
void Form1::sendFromWindow(const QString& messageText)
{
    if (m_sender.sending())
        return;
    NetMessageRequest request;
    request.ServerName = Text2->text();
    request.MsgName = Combo1->currentText();
    request.FromName = Text3->text();
    request.MessageText = messageText;
    if (Check1->isChecked()) {
        Text1->clear();
        Text1->setFocus(Qt::OtherFocusReason);
    }
    m_sender.SendNetMessage(request);
}

void Form1::Command5_Click()
{
    m_services.messageBox.show(this, HelpText(), QStringLiteral("Info"),
                               MessageBox::Icon::Information);
}

void Form1::Image1_Click()
{
    m_services.messageBox.show(this, AboutText(), QStringLiteral("ZORVA"),
                               MessageBox::Icon::Critical);
}

bool Form1::Combo1_LostFocus()
{
    if (!Combo1->currentText().contains(QLatin1Char(' ')))
        return true;
    m_checkingRecipient = true;
    m_services.messageBox.show(this, QStringLiteral("Existen Espacios en Blanco"), text(kCaption),
                               MessageBox::Icon::None);
    Combo1->setEditText(QString());
    Combo1->setFocus(Qt::OtherFocusReason);
    m_checkingRecipient = false;
    return false;
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Combo1 && event->type() == QEvent::FocusOut && !m_checkingRecipient) {
        // Opening the list or switching windows is not leaving the box.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        const bool leaving = reason != Qt::PopupFocusReason &&
                             reason != Qt::ActiveWindowFocusReason &&
                             QApplication::activePopupWidget() == nullptr;
        if (leaving) {
            // Focus moves before the press that caused it is delivered.
            QWidget* takingFocus = QApplication::focusWidget();
            if (!Combo1_LostFocus() && reason == Qt::MouseFocusReason)
                m_refusedPressTarget = takingFocus;
        }
    } else if ((watched == Command1 || watched == Command4) &&
               event->type() == QEvent::MouseButtonPress && watched == m_refusedPressTarget) {
        // A click whose focus change refused the recipient must not send to the emptied box.
        m_refusedPressTarget = nullptr;
        return true;
    } else if (event->type() == QEvent::KeyPress &&
               qobject_cast<QToolButton*>(watched) != nullptr) {
        // Return and keypad Enter press the focused button, as Space does.
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            modifiers == Qt::NoModifier && !key->isAutoRepeat()) {
            static_cast<QToolButton*>(watched)->click();
            return true;
        }
    } else if (watched == Image1 && (event->type() == QEvent::MouseButtonPress ||
                                     event->type() == QEvent::MouseButtonRelease)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton) {
            m_image1Pressed = true;
        } else if (event->type() == QEvent::MouseButtonRelease && m_image1Pressed) {
            m_image1Pressed = false;
            if (Image1->rect().contains(mouse->position().toPoint()))
                Image1_Click();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::setStatusCaption(const QString& caption)
{
    Label1->setText(caption);
    // The result shows now, not after the send button has also remembered the recipient.
    if (Label1->isVisible())
        Label1->repaint();
}

void Form1::setClearInterval(int milliseconds)
{
    Timer1->setInterval(milliseconds);
    // A window timer with interval 0 does not tick; a QTimer would tick continuously.
    if (milliseconds > 0)
        Timer1->start();
    else
        Timer1->stop();
}

void Form1::Timer1_Timer()
{
    Label1->setText(QString());
    setClearInterval(0);
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (m_sender.sending())
        endDuringSend();
    QWidget::closeEvent(event);
}

void Form1::endDuringSend()
{
    // The call cannot be taken back from the platform; the message in flight is abandoned,
    // which a receiver never shows half. Nothing is left to save: the recipient is
    // remembered only after a send.
    std::fflush(nullptr);
    std::_Exit(EXIT_SUCCESS);
}

void Form1::Form_Resize()
{
    guarded([this] {
        // Hidden only where the tray can bring it back, asked anew at each minimise.
        if (!isMinimized() || !m_services.hideOnMinimize || !AniTray1.isAvailable())
            return;
        // Later, not now: showMinimized() makes the window visible after the state change.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                setVisible(false);
                m_trayPoll->start();
            }
        });
    });
}

void Form1::AniTray1_UserAction(int, int, int)
{
    guarded([this] {
        if (isMinimized())
            restore();
    });
}

void Form1::restore()
{
    m_trayPoll->stop();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    setVisible(true);
}

// Qt tells nothing when the notification area goes away; without it a hidden window would
// have no way back.
void Form1::checkTrayWhileHidden()
{
    guarded([this] {
        if (isVisible() || !isMinimized())
            m_trayPoll->stop();
        else if (!AniTray1.isAvailable())
            restore();
    });
}

template <typename Handler> void Form1::guarded(Handler&& handler)
{
    try {
        handler();
    } catch (const std::exception& error) {
        fail(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        fail(QStringLiteral("Error desconocido"));
    }
}

void Form1::fail(const QString& description)
{
    m_failed = true;
    m_services.messageBox.show(this, description, text(kCaption), MessageBox::Icon::Critical);
    QApplication::exit(EXIT_FAILURE);
}
