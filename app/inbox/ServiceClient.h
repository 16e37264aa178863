#pragma once

#include "app/inbox/InboxMessage.h"
#include "protocol/local/LocalProtocol.h"

#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

// The connection to the messenger service's local socket. It connects, reads the service's
// lines, hands over messages and sends acknowledgements; when the service is away it says why
// and tries again later, waiting longer after each failure up to Options::maxRetryMs.
class ServiceClient : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Connecting,
        Connected,
        NotInstalled,
        NotRunning,
        NoPermission,
        Broken // the service sent what this client cannot read
    };

    static constexpr int kFirstRetryMs = 250;
    static constexpr int kMaxRetryMs = 15000;
    static constexpr int kHelloTimeoutMs = 5000;
    static constexpr int kCloseWaitMs = 1000;
    // Qt's buffer for the socket; reads stop until it is drained.
    static constexpr qint64 kReadBufferBytes = 256 * 1024;

    struct Options
    {
        QString socketPath;
        // Whether the service is installed on this machine, asked when its socket is absent.
        std::function<bool()> serviceInstalled;
        // Protocol waits; tests shorten them.
        int helloTimeoutMs = kHelloTimeoutMs;
        int maxRetryMs = kMaxRetryMs;
    };

    explicit ServiceClient(Options options, QObject* parent = nullptr);
    ~ServiceClient() override;

    // The wait before the next attempt after this many failures in a row.
    static int retryDelayMs(int failures, int maxRetryMs = kMaxRetryMs);
    // One sentence for the user: what is the matter and what to do.
    static QString describe(State state, const LocalProtocol::Hello& hello);
    // One sentence for the name the user cannot rely on (LocalProtocol::nameProblem); empty when
    // there is none.
    static QString aliasProblem(const LocalProtocol::Hello& hello);
    // The message a line hands over; nullopt for any other line, and for a message without an
    // id, which could not be acknowledged.
    static std::optional<InboxMessage> inboxMessage(const LocalProtocol::Line& line);

    void start();
    // Tells the service that the message is kept; it may then drop its copy.
    void acknowledge(const QString& id);

    State state() const { return m_state; }
    const LocalProtocol::Hello& hello() const { return m_hello; }
    int failures() const { return m_failures; }

signals:
    void stateChanged(ServiceClient::State state);
    void helloReceived(const LocalProtocol::Hello& hello);
    // Everything that came in one read, in arrival order.
    void messagesReceived(const QList<InboxMessage>& messages);

private:
    void connectNow();
    void onReadyRead();
    void onError(QLocalSocket::LocalSocketError error);
    void onDisconnected();
    void retryLater(State state);
    void dropSocket();
    void retrySoon();
    void setState(State state);

    Options m_options;
    QPointer<QLocalSocket> m_socket;
    LocalProtocol::LineReader m_reader;
    LocalProtocol::Hello m_hello;
    QTimer m_retry;
    QTimer m_helloTimeout;
    State m_state = State::Connecting;
    int m_failures = 0;
};
