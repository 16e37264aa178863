#include "app/inbox/ReplySender.h"

#include "messaging/MessageSender.h"
#include "messaging/NetMessageRequest.h"
#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/pointer/BusyPointer.h"

#include <QThread>

#include <arpa/inet.h>

namespace {

// Keeps the caption the send path gives, to hand it to the window's thread.
class KeptStatusLine final : public StatusLine
{
public:
    void setStatusCaption(const QString& text) override { caption = text; }
    void setClearInterval(int) override {}

    QString caption;
};

} // namespace

ReplySender::ReplySender(MessengerFactory factory, QObject* parent)
    : QObject(parent), m_factory(std::move(factory))
{}

ReplySender::~ReplySender()
{
    for (const auto& thread : m_threads)
        thread->wait();
}

std::optional<std::uint32_t> ReplySender::parseAddress(const QString& text)
{
    in_addr address{};
    if (text.size() > 15 || ::inet_pton(AF_INET, text.toLatin1().constData(), &address) != 1)
        return std::nullopt;
    const std::uint32_t host = ntohl(address.s_addr);
    // Nobody answers from these.
    if (host == 0 || host == 0xFFFFFFFFu)
        return std::nullopt;
    return host;
}

bool ReplySender::send(int ticket, const QString& address, const QString& recipient,
                       const QString& from, const QString& text)
{
    const auto target = parseAddress(address);
    if (!target)
        return false;
    reap();
    std::shared_ptr<Messenger> messenger = m_factory(*target);
    QThread* thread = QThread::create([this, messenger, ticket, recipient, from, text] {
        NoBusyPointer pointer;
        KeptStatusLine status;
        MessageSender sendPath(*messenger, pointer, status);
        // No server name: this machine sends, as the window does when that box is empty.
        NetMessageRequest request{QString(), recipient, from, text};
        sendPath.SendNetMessage(request);
        const int code = sendPath.lastCode().value_or(-1);
        const QString caption = status.caption;
        // The destructor waits for this thread, so the sender is still there to queue to.
        QMetaObject::invokeMethod(
            this, [this, ticket, code, caption] { finishSend(ticket, code, caption); },
            Qt::QueuedConnection);
    });
    m_threads.emplace_back(thread);
    thread->start();
    return true;
}

void ReplySender::finishSend(int ticket, int code, const QString& statusText)
{
    reap();
    emit finished(ticket, code, statusText);
}

void ReplySender::reap()
{
    m_threads.remove_if([](const std::unique_ptr<QThread>& t) { return t->isFinished(); });
}
