#include "app/inbox/ReplySender.h"

#include "messaging/MessageSender.h"
#include "messaging/NetMessageRequest.h"
#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/pointer/BusyPointer.h"

#include <QThread>

#include <arpa/inet.h>

namespace {

// The window's pointer is the GUI thread's; a send on another thread leaves it alone.
class NoBusyPointer final : public BusyPointer
{
public:
    void showWait() override {}
    void showDefault() override {}
};

// Keeps the caption the send path gives, to hand it to the window's thread.
class KeptStatusLine final : public StatusLine
{
public:
    void setStatusCaption(const QString& text) override { caption = text; }
    void setClearInterval(int) override {}

    QString caption;
};

// Passes the call on and keeps the code.
class CodeKeepingMessenger final : public Messenger
{
public:
    explicit CodeKeepingMessenger(Messenger& inner) : m_inner(inner) {}

    std::int32_t NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                      const char16_t* fromname, const std::uint8_t* buf,
                                      std::uint32_t buflen) override
    {
        code = m_inner.NetMessageBufferSend(servername, msgname, fromname, buf, buflen);
        return code;
    }

    std::int32_t code = -1;

private:
    Messenger& m_inner;
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
                       const QString& text)
{
    const auto target = parseAddress(address);
    if (!target)
        return false;
    reap();
    std::shared_ptr<Messenger> messenger = m_factory(*target);
    QThread* thread = QThread::create([this, messenger, ticket, recipient, text] {
        CodeKeepingMessenger keeping(*messenger);
        NoBusyPointer pointer;
        KeptStatusLine status;
        MessageSender sendPath(keeping, pointer, status);
        // No server or sender name: this machine sends, under its own name, as the window
        // does when those boxes are empty.
        NetMessageRequest request{QString(), recipient, QString(), text};
        sendPath.SendNetMessage(request);
        const int code = keeping.code;
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
