#include "app/inbox/MessagePopup.h"

#include "app/inbox/InboxAccessibility.h"
#include "app/inbox/MessageView.h"

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

    auto* reply = new QPushButton(tr("&Responder"), this);
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
    auto* inbox = new QPushButton(tr("&Ver todos"), this);
    inbox->setAccessibleName(tr("Ver todos los mensajes recibidos"));
    inbox->setAutoDefault(false);
    auto* dismiss = new QPushButton(tr("&Cerrar"), this);
    dismiss->setAccessibleName(tr("Cerrar"));
    dismiss->setAutoDefault(false);
    // A plain row: a button box would also make Responder the default button.
    addButtonRow(*layout, {reply, inbox}, dismiss);

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

void MessagePopup::present()
{
    show();
    raise();
    activateWindow();
    m_view->textBox()->setFocus(Qt::OtherFocusReason);
}
