#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>

class Messenger;
class QThread;

// Sends answers through the window's send path (MessageSender and the platform messenger) on
// a thread of their own, so that the window stays responsive while the network takes its
// time. Each send makes its own messenger, aimed at the message's source address.
class ReplySender : public QObject
{
    Q_OBJECT

public:
    // A messenger that delivers to this IPv4 address (host byte order) without a name lookup.
    using MessengerFactory = std::function<std::unique_ptr<Messenger>(std::uint32_t address)>;

    explicit ReplySender(MessengerFactory factory, QObject* parent = nullptr);
    // Waits for the sends still going out; each ends within the messenger's own time limits.
    ~ReplySender() override;

    // The IPv4 address in dotted text, as the service gives it.
    static std::optional<std::uint32_t> parseAddress(const QString& text);

    // Starts the send and returns at once; finished() tells how it went. False, with nothing
    // started, when the address is not one to send to. An empty sender name sends under the
    // computer's name.
    bool send(int ticket, const QString& address, const QString& recipient, const QString& from,
              const QString& text);

signals:
    // statusText is what the window's status line shows for the result code.
    void finished(int ticket, int code, const QString& statusText);

private:
    void finishSend(int ticket, int code, const QString& statusText);
    void reap();

    MessengerFactory m_factory;
    std::list<std::unique_ptr<QThread>> m_threads;
};
