#include "app/inbox/ReplyDialog.h"

#include "app/inbox/InboxAccessibility.h"
#include "protocol/NetbiosName.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <pwd.h>
#include <unistd.h>

ReplyDialog::ReplyDialog(const QString& recipient, const QString& address, const QString& signature,
                         QWidget* parent)
    : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("replyDialog"));
    setWindowTitle(tr("Responder a %1").arg(recipient));
    setAccessibleName(windowTitle());

    auto* layout = new QVBoxLayout(this);
    // Names from the network are shown as they are: no markup, and an '&' in them is no
    // mnemonic.
    const auto literal = [](QString text) {
        return text.replace(u'&', QStringLiteral("&&"));
    };
    auto* caption =
        new QLabel(tr("&Respuesta para %1 (%2):").arg(literal(recipient), literal(address)), this);
    caption->setTextFormat(Qt::PlainText);
    caption->setWordWrap(true);
    layout->addWidget(caption);

    m_answer = new QPlainTextEdit(this);
    m_answer->setObjectName(QStringLiteral("answerBox"));
    m_answer->setTabChangesFocus(true);
    m_answer->setAccessibleName(tr("Respuesta"));
    m_answer->setAccessibleDescription(tr("Intro envía; Mayús+Intro empieza una línea nueva."));
    m_answer->installEventFilter(this);
    caption->setBuddy(m_answer);
    layout->addWidget(m_answer);

    auto* signatureRow = new QHBoxLayout;
    auto* signatureCaption = new QLabel(tr("&Firma:"), this);
    m_signature = new QLineEdit(signature, this);
    m_signature->setObjectName(QStringLiteral("signature"));
    m_signature->setAccessibleName(tr("Firma"));
    m_signature->setAccessibleDescription(
        tr("El nombre con el que sale la respuesta; vacío, el de este equipo."));
    m_signature->setMaxLength(int(NetbiosName::kMaxNameBytes));
    signatureCaption->setBuddy(m_signature);
    signatureRow->addWidget(signatureCaption);
    signatureRow->addWidget(m_signature, 1);
    layout->addLayout(signatureRow);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("sendStatus"));
    m_status->setTextFormat(Qt::PlainText);
    // A label's name is its text, which is what a screen reader must read out.
    m_status->setAccessibleDescription(tr("Estado del envío"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_status);

    m_send = new QPushButton(tr("&Enviar"), this);
    m_send->setObjectName(QStringLiteral("sendButton"));
    m_send->setAccessibleName(tr("Enviar la respuesta"));
    m_send->setDefault(true);
    auto* close = new QPushButton(tr("&Cerrar"), this);
    close->setAccessibleName(tr("Cerrar"));
    close->setAutoDefault(false);
    addButtonRow(*layout, {m_send}, close);

    connect(m_send, &QPushButton::clicked, this, &ReplyDialog::requestSend);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    resize(420, 280);
}

bool ReplyDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_answer && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter && !(key->modifiers() & Qt::ShiftModifier)) {
            requestSend();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ReplyDialog::requestSend()
{
    const QString text = m_answer->toPlainText();
    if (!m_send->isEnabled() || text.trimmed().isEmpty())
        return;
    emit sendRequested(m_signature->text().trimmed(), text);
}

void ReplyDialog::reject()
{
    if (!m_answer->toPlainText().trimmed().isEmpty()) {
        QMessageBox question(QMessageBox::Question, windowTitle(),
                             tr("¿Descartar la respuesta sin enviarla?"),
                             QMessageBox::Discard | QMessageBox::Cancel, this);
        question.setDefaultButton(QMessageBox::Cancel);
        if (question.exec() != QMessageBox::Discard)
            return;
    }
    QDialog::reject();
}

QString ReplyDialog::defaultSignature()
{
    const passwd* user = ::getpwuid(::geteuid());
    QString login = user ? QString::fromLocal8Bit(user->pw_name) : qEnvironmentVariable("USER");
    // Only what any receiver takes in a name, and no longer than a name may be.
    login.removeIf([](QChar c) {
        return c.unicode() > 0x7F || !(c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_');
    });
    return login.left(int(NetbiosName::kMaxNameBytes));
}

void ReplyDialog::showSending()
{
    m_send->setEnabled(false);
    m_status->setText(tr("Enviando…"));
}

void ReplyDialog::showResult(bool delivered, const QString& statusText)
{
    m_send->setEnabled(true);
    m_status->setText(statusText);
    if (delivered)
        m_answer->clear();
    m_answer->setFocus(Qt::OtherFocusReason);
}
