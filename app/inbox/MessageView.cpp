#include "app/inbox/MessageView.h"

#include "app/inbox/InboxAccessibility.h"
#include "app/inbox/Spanish.h"

#include <QDateTime>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

MessageView::MessageView(QWidget* parent) : QWidget(parent)
{
    installInboxAccessibility();
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    m_from = addField(tr("&De:"), tr("Remitente"));
    m_machine = addField(tr("E&quipo:"), tr("Equipo del remitente"));
    // Alt+C is the windows' Cerrar.
    m_address = addField(tr("D&irección:"), tr("Dirección del remitente"));
    m_to = addField(tr("&Para:"), tr("Destinatario"));
    m_received = addField(tr("Reci&bido:"), tr("Recibido"));

    auto* label = new QLabel(tr("&Mensaje:"), this);
    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("messageText"));
    m_text->setReadOnly(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setTabChangesFocus(true);
    m_text->setAccessibleName(tr("Texto del mensaje"));
    label->setBuddy(m_text);
    form->addRow(label);
    form->addRow(m_text);
}

QLineEdit* MessageView::addField(const QString& label, const QString& accessibleName)
{
    // The caption first: assistive technology reads the children in the order they came.
    auto* caption = new QLabel(label, this);
    auto* field = new QLineEdit(this);
    field->setReadOnly(true);
    field->setAccessibleName(accessibleName);
    caption->setBuddy(field);
    static_cast<QFormLayout*>(layout())->addRow(caption, field);
    return field;
}

QString MessageView::receivedText(const QString& received)
{
    const QDateTime time = QDateTime::fromString(received, Qt::ISODate);
    if (!time.isValid())
        return received;
    return Spanish::locale().toString(time.toLocalTime(), QLocale::LongFormat);
}

QString MessageView::senderText(const InboxMessage& message)
{
    if (message.from.isEmpty())
        return message.machine.isEmpty() ? message.address : message.machine;
    if (message.machine.isEmpty() || message.machine == message.from)
        return message.from;
    return QStringLiteral("%1 (%2)").arg(message.from, message.machine);
}

QString MessageView::recipientText(const InboxMessage& message)
{
    // The name as the sender wrote it, and the network name when that differs.
    if (message.to.isEmpty())
        return message.called;
    if (message.called.isEmpty() || message.called.compare(message.to, Qt::CaseInsensitive) == 0)
        return message.to;
    return QStringLiteral("%1 (%2)").arg(message.to, message.called);
}

void MessageView::showMessage(const InboxMessage& message)
{
    // Field values start at their beginning whatever their length.
    const auto set = [](QLineEdit* field, const QString& value) {
        field->setText(value);
        field->setCursorPosition(0);
    };
    set(m_from, message.from);
    set(m_machine, message.machine);
    set(m_address, message.address);
    set(m_to, recipientText(message));
    set(m_received, receivedText(message.received));
    m_text->setPlainText(message.text);
}

void MessageView::clear()
{
    for (QLineEdit* field : {m_from, m_machine, m_address, m_to, m_received})
        field->clear();
    m_text->clear();
}
