#include "app/inbox/ServiceClient.h"

ServiceClient::ServiceClient(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &ServiceClient::connectNow);
    m_helloTimeout.setSingleShot(true);
    m_helloTimeout.setInterval(m_options.helloTimeoutMs);
    connect(&m_helloTimeout, &QTimer::timeout, this, [this] { retryLater(State::Broken); });
}

ServiceClient::~ServiceClient()
{
    // Acknowledgements still buffered go out before the connection closes, within a bound.
    if (m_socket && m_socket->state() == QLocalSocket::ConnectedState) {
        m_socket->disconnect(this);
        m_socket->disconnectFromServer();
        if (m_socket->state() != QLocalSocket::UnconnectedState)
            m_socket->waitForDisconnected(kCloseWaitMs);
    }
}

int ServiceClient::retryDelayMs(int failures, int maxRetryMs)
{
    int delay = std::min(kFirstRetryMs, maxRetryMs);
    for (int i = 1; i < failures && delay < maxRetryMs; ++i)
        delay *= 2;
    return std::min(delay, maxRetryMs);
}

QString ServiceClient::describe(State state, const ServiceProtocol::Hello& hello)
{
    switch (state) {
    case State::Connecting:
        return tr("Conectando con el servicio de mensajes…");
    case State::Connected:
        return tr("Conectado: aquí aparecen los mensajes para %1 en %2.")
            .arg(QString::fromStdString(hello.user), QString::fromStdString(hello.computer));
    case State::NotInstalled:
        return tr("El servicio de mensajes no está instalado: instale el paquete "
                  "vorelin-service para recibir mensajes.");
    case State::NotRunning:
        return tr("El servicio de mensajes no está en marcha: inícielo (sudo systemctl start "
                  "vorelind); esta ventana se conectará sola.");
    case State::NoPermission:
        return tr("No tiene permiso para conectar con el servicio de mensajes: revise los "
                  "permisos de su socket o pida ayuda al administrador.");
    case State::Broken:
        return tr("El servicio de mensajes respondió algo que esta versión no entiende: "
                  "actualice Vorelin; se vuelve a intentar.");
    }
    return QString();
}

void ServiceClient::start()
{
    setState(State::Connecting);
    connectNow();
}

void ServiceClient::acknowledge(const QString& id)
{
    if (m_socket && m_socket->state() == QLocalSocket::ConnectedState) {
        m_socket->write(ServiceProtocol::ackLine(id));
        // Out now, not at the next turn of the event loop, which a quitting inbox never sees.
        m_socket->flush();
    }
}

void ServiceClient::connectNow()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
    }
    m_reader = ServiceProtocol::LineReader();
    m_socket = new QLocalSocket(this);
    m_socket->setReadBufferSize(kReadBufferBytes);
    connect(m_socket, &QLocalSocket::connected, this, &ServiceClient::onConnected);
    connect(m_socket, &QLocalSocket::readyRead, this, &ServiceClient::onReadyRead);
    connect(m_socket, &QLocalSocket::errorOccurred, this, &ServiceClient::onError);
    connect(m_socket, &QLocalSocket::disconnected, this, &ServiceClient::onDisconnected);
    m_socket->connectToServer(m_options.socketPath);
}

void ServiceClient::onConnected()
{
    m_helloTimeout.start();
}

void ServiceClient::onReadyRead()
{
    QList<InboxMessage> messages;
    bool broken = false;
    while (!broken && m_socket && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(ServiceProtocol::kMaxLine);
        m_reader.append(std::string_view(chunk.constData(), std::size_t(chunk.size())));
        while (const auto line = m_reader.nextLine()) {
            if (QByteArrayView(*line).trimmed().isEmpty())
                continue;
            const ServiceProtocol::Event event = ServiceProtocol::parseLine(QByteArrayView(*line));
            if (std::holds_alternative<ServiceProtocol::Malformed>(event)) {
                broken = true;
                break;
            }
            if (const auto* hello = std::get_if<ServiceProtocol::Hello>(&event)) {
                m_hello = *hello;
                m_failures = 0;
                m_helloTimeout.stop();
                setState(State::Connected);
                emit helloReceived(m_hello);
            } else if (const auto* update = std::get_if<ServiceProtocol::NameUpdate>(&event)) {
                LocalProtocol::apply(m_hello, *update);
                emit helloReceived(m_hello);
            } else if (const auto* message = std::get_if<InboxMessage>(&event)) {
                messages.append(*message);
            }
        }
        broken = broken || m_reader.failed();
    }
    // What came before the fault is good: the service sent it whole.
    if (!messages.isEmpty())
        emit messagesReceived(messages);
    if (broken)
        retryLater(State::Broken);
}

void ServiceClient::onError(QLocalSocket::LocalSocketError error)
{
    switch (error) {
    case QLocalSocket::ServerNotFoundError:
        retryLater(!m_options.serviceInstalled || m_options.serviceInstalled()
                       ? State::NotRunning
                       : State::NotInstalled);
        break;
    case QLocalSocket::ConnectionRefusedError:
        retryLater(State::NotRunning);
        break;
    case QLocalSocket::SocketAccessError:
        retryLater(State::NoPermission);
        break;
    case QLocalSocket::PeerClosedError:
        onDisconnected();
        break;
    default:
        retryLater(State::NotRunning);
        break;
    }
}

void ServiceClient::onDisconnected()
{
    // The service went away, most often for a restart: try again soon, and say so only if
    // that fails.
    if (m_state == State::Connected) {
        // Error and disconnection both report the one loss.
        if (m_socket)
            m_socket->disconnect(this);
        setState(State::Connecting);
        ++m_failures;
        m_helloTimeout.stop();
        if (!m_retry.isActive())
            m_retry.start(retryDelayMs(m_failures, m_options.maxRetryMs));
        return;
    }
    retryLater(m_state == State::Connecting ? State::NotRunning : m_state);
}

void ServiceClient::retryLater(State state)
{
    m_helloTimeout.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    ++m_failures;
    setState(state);
    // One pending attempt at a time, however many errors one failure raises.
    if (!m_retry.isActive())
        m_retry.start(retryDelayMs(m_failures, m_options.maxRetryMs));
}

void ServiceClient::setState(State state)
{
    if (state == m_state && state != State::Connected)
        return;
    m_state = state;
    emit stateChanged(state);
}
