#include "app/inbox/InboxWindow.h"

#include "app/inbox/InboxAccessibility.h"
#include "app/inbox/InboxListModel.h"
#include "app/inbox/MessagePopup.h"
#include "app/inbox/MessageView.h"
#include "app/inbox/ReplySender.h"
#include "platform/notifications/Notifications.h"
#include "platform/tray/StatusIcon.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QThread>
#include <QVBoxLayout>

InboxWindow::InboxWindow(const Services& services, QWidget* parent)
    : QWidget(parent), m_services(services)
{
    installInboxAccessibility();
    setObjectName(QStringLiteral("inboxWindow"));
    auto* layout = new QVBoxLayout(this);

    for (auto [label, name, description] :
         {std::tuple(&m_service, "serviceState", tr("Estado del servicio de mensajes")),
          std::tuple(&m_notice, "notice", tr("Aviso"))}) {
        *label = new QLabel(this);
        (*label)->setObjectName(QLatin1String(name));
        // What the service and the network say is shown, never read as markup.
        (*label)->setTextFormat(Qt::PlainText);
        // A label's name is its text, which is what a screen reader must read out.
        (*label)->setAccessibleDescription(description);
        (*label)->setWordWrap(true);
        (*label)->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(*label);
    }
    m_notice->hide();

    auto* splitter = new QSplitter(Qt::Vertical, this);
    m_model = new InboxListModel(m_services.history, this);
    m_list = new QListView;
    m_list->setModel(m_model);
    m_list->setUniformItemSizes(true);
    // A long line is cut short with an ellipsis; the whole message shows beside the list.
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setObjectName(QStringLiteral("messageList"));
    m_list->setAccessibleName(tr("Mensajes recibidos"));
    m_list->setAlternatingRowColors(true);
    m_view = new MessageView;
    splitter->addWidget(m_list);
    splitter->addWidget(m_view);
    // The splitter restacks its children; assistive technology reads them in stacking order,
    // which must be the screen's.
    m_list->raise();
    m_view->raise();
    layout->addWidget(splitter, 1);

    m_reply = new QPushButton(tr("&Responder"), this);
    m_reply->setObjectName(QStringLiteral("replyButton"));
    m_reply->setAccessibleName(tr("Responder al mensaje seleccionado"));
    m_delete = new QPushButton(tr("&Eliminar"), this);
    m_delete->setObjectName(QStringLiteral("deleteButton"));
    m_delete->setAccessibleName(tr("Eliminar el mensaje seleccionado"));
    auto* close = new QPushButton(tr("&Cerrar"), this);
    close->setAccessibleName(tr("Cerrar la ventana; los mensajes siguen llegando"));
    addButtonRow(*layout, {m_reply, m_delete}, close);

    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &InboxWindow::onSelectionChanged);
    connect(m_list, &QListView::activated, this, [this](const QModelIndex& index) {
        // A burst opens into its messages, in the list.
        if (m_model->isBurst(index.row()))
            m_model->expand(index.row());
        else
            openMessage(index.data(InboxListModel::kKeyRole).toString());
    });
    new QShortcut(QKeySequence::Delete, m_list, this, &InboxWindow::deleteSelected,
                  Qt::WidgetShortcut);
    connect(m_reply, &QPushButton::clicked, this, [this] { replyTo(selectedKey()); });
    connect(m_delete, &QPushButton::clicked, this, &InboxWindow::deleteSelected);
    connect(close, &QPushButton::clicked, this, &QWidget::close);

    connect(&m_services.client, &ServiceClient::stateChanged, this, &InboxWindow::onServiceState);
    connect(&m_services.client, &ServiceClient::helloReceived, this, &InboxWindow::onServiceState);
    connect(&m_services.client, &ServiceClient::messagesReceived, this, &InboxWindow::onMessages);
    connect(&m_services.notifications, &Notifications::activated, this, [this](const QString& key) {
        if (m_services.history.find(key))
            openMessage(key);
    });
    connect(&m_services.replies, &ReplySender::finished, this, &InboxWindow::onReplyFinished);

    placeOnScreen();
    onServiceState();
}

void InboxWindow::placeOnScreen()
{
    // Whole on the work area, clear of panels, whatever the screen's size.
    const QMargins frame(8, 40, 8, 8); // what a window manager's frame takes, about
    const QRect area = screen()->availableGeometry();
    resize(QSize(560, 520).boundedTo(area.size().shrunkBy(frame)));
    const QSize outer = size().grownBy(frame);
    move(area.left() + (area.width() - outer.width()) / 2,
         area.top() + (area.height() - outer.height()) / 2);
}

InboxWindow::~InboxWindow()
{
    if (m_check)
        m_check->wait();
}

void InboxWindow::setLoadOutcome(const InboxHistory::LoadResult& loaded)
{
    switch (loaded.outcome) {
    case InboxHistory::Loaded::Fine:
    case InboxHistory::Loaded::Missing:
        break;
    case InboxHistory::Loaded::Damaged:
        m_loadProblem =
            (loaded.setAsidePath.isEmpty()
                 ? tr("El historial de mensajes estaba dañado y no se pudo apartar: los "
                      "mensajes nuevos se muestran pero no se guardan.")
                 : tr("El historial de mensajes estaba dañado: se apartó como %1 y se "
                      "empezó uno nuevo.")
                       .arg(loaded.setAsidePath));
        break;
    case InboxHistory::Loaded::Unreadable:
        m_loadProblem = (tr("No se puede leer el historial de mensajes %1: revise sus permisos; "
                            "hasta entonces los mensajes nuevos quedan en el servicio.")
                             .arg(m_services.history.path()));
        break;
    }
    setSaveProblem(QString());
}

void InboxWindow::start()
{
    const InboxHistory::LoadResult loaded = m_services.history.load(InboxHistory::Check::Later);
    setLoadOutcome(loaded);
    if (StatusIcon* icon = m_services.statusIcon) {
        icon->show({{tr("&Ver mensajes").toStdString(), false, false,
                     [this](bool) {
                         bringToFront();
                     }},
                    {tr("&No molestar").toStdString(), true, m_doNotDisturb,
                     [this](bool on) {
                         setDoNotDisturb(on);
                     }},
                    // Not quit(): that asks each window to close, and this one only hides.
                    {tr("&Salir").toStdString(), false, false,
                     [](bool) {
                         QCoreApplication::exit(0);
                     }}},
                   [this] { bringToFront(); });
    }
    refillList(QString());
    if (loaded.outcome != InboxHistory::Loaded::Fine) {
        m_services.client.start();
        return;
    }
    // Nothing is taken from the service into a file that may yet be set aside.
    if (m_check)
        m_check->wait();
    m_check.reset(QThread::create([this, path = m_services.history.path()] {
        const bool intact = InboxHistory::intact(path);
        QMetaObject::invokeMethod(this, [this, intact] { historyChecked(intact); });
    }));
    m_check->start();
}

void InboxWindow::historyChecked(bool intact)
{
    if (!intact) {
        setLoadOutcome(m_services.history.setAside());
        refillList(QString());
    }
    m_services.client.start();
}

void InboxWindow::bringToFront()
{
    showNormal();
    raise();
    activateWindow();
    m_list->setFocus(Qt::OtherFocusReason);
}

void InboxWindow::onServiceState()
{
    const ServiceClient& client = m_services.client;
    QString text = ServiceClient::describe(client.state(), client.hello());
    if (client.state() == ServiceClient::State::Connected) {
        const QString alias = ServiceClient::aliasProblem(client.hello());
        if (!alias.isEmpty())
            text += QLatin1Char(' ') + alias;
    }
    m_service->setText(text);
}

void InboxWindow::onMessages(const QList<InboxMessage>& messages)
{
    // Acknowledged only once on disk; one kept before is acknowledged again, as the first
    // acknowledgement got lost.
    const InboxHistory::Added added = m_services.history.add(messages);
    if (added.kept) {
        setSaveProblem(QString());
        for (const InboxMessage& message : messages)
            m_services.client.acknowledge(message.id);
    } else {
        setSaveProblem(tr("No se pudo guardar el historial en %1: el servicio conserva los "
                          "mensajes hasta que se pueda.")
                           .arg(m_services.history.path()));
    }
    const QStringList& arrived = added.newKeys;
    if (arrived.isEmpty())
        return;

    refillList(m_list->currentIndex().isValid() ? selectedKey() : arrived.last());
    for (const QString& key : std::as_const(arrived)) {
        const std::optional<InboxMessage> message = m_services.history.find(key);
        if (!message)
            continue; // more arrived at once than the history keeps
        m_services.notifications.notify(
            key, tr("Mensaje de %1").arg(MessageView::senderText(*message)), message->text);
        if (!m_doNotDisturb && popups().size() < kMaxPopups)
            popUp(key, false);
    }
}

QList<MessagePopup*> InboxWindow::popups() const
{
    QList<MessagePopup*> open;
    for (const QPointer<MessagePopup>& popup : m_popups)
        if (popup)
            open.append(popup.data());
    return open;
}

void InboxWindow::openMessage(const QString& key)
{
    popUp(key, true);
}

void InboxWindow::popUp(const QString& key, bool asked)
{
    const std::optional<InboxMessage> message = m_services.history.find(key);
    if (!message)
        return;
    m_popups.removeAll(nullptr);
    for (MessagePopup* popup : popups()) {
        if (popup->key() == key) {
            if (asked)
                popup->present();
            markRead(key);
            return;
        }
    }
    auto* popup = new MessagePopup(*message, canReply(*message));
    connect(popup, &MessagePopup::replyRequested, this, &InboxWindow::replyTo);
    connect(popup, &MessagePopup::inboxRequested, this, [this](const QString& shownKey) {
        refillList(shownKey);
        bringToFront();
    });
    placePopup(*popup);
    m_popups.append(popup);
    if (asked)
        popup->present();
    else
        popup->show(); // on screen, without the focus
    markRead(key);
}

void InboxWindow::placePopup(MessagePopup& popup) const
{
    // The lowest free place in the stack, so that none hides another.
    QList<int> taken;
    QMargins frame(8, 40, 8, 8); // until a shown pop-up tells the window manager's frame
    for (const MessagePopup* open : popups()) {
        taken.append(open->slot());
        if (open->isVisible() && open->frameGeometry() != open->geometry())
            frame = QMargins(open->geometry().left() - open->frameGeometry().left(),
                             open->geometry().top() - open->frameGeometry().top(),
                             open->frameGeometry().right() - open->geometry().right(),
                             open->frameGeometry().bottom() - open->geometry().bottom());
    }
    int slot = 0;
    while (taken.contains(slot))
        ++slot;
    popup.setSlot(slot);

    // The bottom right corner of the work area, clear of panels, stepping up and left from
    // there: never the middle of the screen, where the user is working.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    constexpr int kMargin = 8;
    constexpr QPoint kStep(8, 32);
    const QRect area = screen->availableGeometry();
    const QSize outer = popup.size().grownBy(frame);
    const QPoint step = kStep * (slot % kMaxPopups);
    const int x = std::max(area.left(), area.right() + 1 - kMargin - outer.width() - step.x());
    const int y = std::max(area.top(), area.bottom() + 1 - kMargin - outer.height() - step.y());
    popup.move(x, y);
}

bool InboxWindow::canReply(const InboxMessage& message)
{
    return ReplySender::parseAddress(message.address).has_value();
}

bool InboxWindow::replyTo(const QString& key)
{
    const std::optional<InboxMessage> message = m_services.history.find(key);
    if (!message || !canReply(*message))
        return false;
    // The sender's machine is called by its name; one that gave none by its address, which a
    // receiver takes for its own computer name.
    const QString recipient = message->machine.isEmpty() ? message->address : message->machine;
    const QString address = message->address;
    auto* dialog = new ReplyDialog(recipient, address, m_signature);
    connect(dialog, &ReplyDialog::sendRequested, this,
            [this, dialog, recipient, address](const QString& from, const QString& text) {
                const int ticket = m_nextTicket++;
                if (!m_services.replies.send(ticket, address, recipient, from, text))
                    return;
                m_signature = from; // the next answer is signed the same way
                m_replies.insert(ticket, dialog);
                dialog->showSending();
            });
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    dialog->answerBox()->setFocus(Qt::OtherFocusReason);
    return true;
}

void InboxWindow::onReplyFinished(int ticket, int code, const QString& statusText)
{
    if (const QPointer<ReplyDialog> dialog = m_replies.take(ticket))
        dialog->showResult(code == 0, statusText);
}

void InboxWindow::markRead(const QString& key)
{
    // Being read is worth keeping but not worth a warning when the disk refuses.
    if (!m_services.history.markRead(key))
        return;
    m_model->refresh(key);
    updateTitle();
}

void InboxWindow::refillList(const QString& selectKey)
{
    QSignalBlocker blocker(m_list->selectionModel());
    m_model->reload();
    const int row = std::max(0, m_model->rowOf(selectKey));
    if (row < m_model->rowCount())
        m_list->setCurrentIndex(m_model->index(row));
    blocker.unblock();
    onSelectionChanged();
    updateTitle();
}

QString InboxWindow::selectedKey() const
{
    // A burst is not read by being selected: only its newest message would have been seen.
    if (m_model->isBurst(m_list->currentIndex().row()))
        return QString();
    return m_list->currentIndex().data(InboxListModel::kKeyRole).toString();
}

void InboxWindow::onSelectionChanged()
{
    const std::optional<InboxMessage> message = m_services.history.find(selectedKey());
    m_reply->setEnabled(message && canReply(*message));
    m_delete->setEnabled(message.has_value());
    if (!message) {
        m_view->clear();
        return;
    }
    m_view->showMessage(*message);
    // Seen in the window only counts when the window is on the screen.
    if (isVisible())
        markRead(selectedKey());
}

void InboxWindow::deleteSelected()
{
    const QString key = selectedKey();
    const std::optional<InboxMessage> message = m_services.history.find(key);
    if (!message)
        return;
    QMessageBox question(QMessageBox::Question, windowTitle(),
                         tr("¿Eliminar el mensaje de %1? No se podrá recuperar.")
                             .arg(MessageView::senderText(*message)),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setTextFormat(Qt::PlainText);
    question.setDefaultButton(QMessageBox::No);
    if (question.exec() != QMessageBox::Yes)
        return;
    const int row = m_list->currentIndex().row();
    if (!m_services.history.remove(key))
        setSaveProblem(
            tr("No se pudo borrar el mensaje del historial %1.").arg(m_services.history.path()));
    const int left = m_services.history.count();
    const QList<InboxMessage> next = m_services.history.page(std::min(row, left - 1), 1);
    refillList(next.isEmpty() ? QString() : next.first().key);
}

void InboxWindow::updateTitle()
{
    const int unread = m_services.history.unreadCount();
    const QString title = unread > 0 ? tr("Mensajes recibidos (%n sin leer)", nullptr, unread)
                                     : tr("Mensajes recibidos");
    setWindowTitle(title);
    setAccessibleName(title);
    if (m_services.statusIcon)
        m_services.statusIcon->setCount(unread, title.toStdString());
}

void InboxWindow::setDoNotDisturb(bool on)
{
    if (on == m_doNotDisturb)
        return;
    m_doNotDisturb = on;
    emit doNotDisturbChanged(on);
}

void InboxWindow::setSaveProblem(const QString& text)
{
    // What happened to the file at start stays said; the last save's trouble replaces the
    // one before.
    QStringList parts;
    for (const QString& part : {m_loadProblem, text})
        if (!part.isEmpty())
            parts.append(part);
    m_notice->setText(parts.join(QLatin1Char(' ')));
    m_notice->setHidden(parts.isEmpty());
}

void InboxWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    markRead(selectedKey());
}

void InboxWindow::closeEvent(QCloseEvent* event)
{
    hide();
    event->ignore();
}

void InboxWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
