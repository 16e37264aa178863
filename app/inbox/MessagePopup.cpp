#include "app/inbox/MessagePopup.h"

#include "app/inbox/MessageView.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

MessagePopup::MessagePopup(const InboxMessage& message, bool canReply, QWidget* parent)
    : QDialog(parent), m_key(message.key)
{
    setAttribute(Qt::WA_DeleteOnClose);
    // On X11 this sets _NET_WM_USER_TIME to 0, which tells the window manager not to give it
    // the focus; a Wayland compositor decides for itself.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName(QStringLiteral("messagePopup"));
    setWindowTitle(tr("Mensaje de %1").arg(MessageView::senderText(message)));
    setAccessibleName(windowTitle());

    auto* layout = new QVBoxLayout(this);
    m_view = new MessageView(this);
    m_view->showMessage(message);
    layout->addWidget(m_view);

    auto* buttons = new QDialogButtonBox(this);
    // Not the accept role, which the button box would make the default button.
    auto* reply = buttons->addButton(tr("&Responder"), QDialogButtonBox::ActionRole);
    reply->setObjectName(QStringLiteral("replyButton"));
    reply->setAccessibleName(tr("Responder"));
    reply->setEnabled(canReply);
    // An answer is always a deliberate act: Return never opens one.
    reply->setAutoDefault(false);
    if (!canReply) {
        // Handed in by Samba's message command, which does not pass the sender's address.
        reply->setToolTip(tr("No se sabe la dirección del remitente: no se puede responder."));
        reply->setAccessibleDescription(reply->toolTip());
    }
    auto* inbox = buttons->addButton(tr("&Ver todos"), QDialogButtonBox::ActionRole);
    inbox->setAccessibleName(tr("Ver todos los mensajes recibidos"));
    inbox->setAutoDefault(false);
    auto* dismiss = buttons->addButton(tr("&Cerrar"), QDialogButtonBox::RejectRole);
    dismiss->setAccessibleName(tr("Cerrar"));
    dismiss->setAutoDefault(false);
    layout->addWidget(buttons);

    connect(reply, &QPushButton::clicked, this, [this] {
        emit replyRequested(m_key);
        accept();
    });
    connect(inbox, &QPushButton::clicked, this, [this] {
        emit inboxRequested(m_key);
        accept();
    });
    connect(dismiss, &QPushButton::clicked, this, &QDialog::reject);
    resize(440, 320);
}

void MessagePopup::showQuietly()
{
    show();
}

void MessagePopup::present()
{
    show();
    raise();
    activateWindow();
    m_view->textBox()->setFocus(Qt::OtherFocusReason);
}
