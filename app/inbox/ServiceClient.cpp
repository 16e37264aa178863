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

QString ServiceClient::describe(State state, const LocalProtocol::Hello& hello)
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

QString ServiceClient::aliasProblem(const LocalProtocol::Hello& hello)
{
    const QString alias = QString::fromStdString(hello.alias.empty() ? hello.user : hello.alias);
    switch (LocalProtocol::nameProblem(hello)) {
    case LocalProtocol::NameProblem::None:
        break;
    case LocalProtocol::NameProblem::ComputerConflict:
        return tr("Otro equipo de la red ya usa el nombre de este equipo, «%1», así que los "
                  "mensajes a ese nombre le llegan a él: cambie el nombre de uno de los dos "
                  "equipos.")
            .arg(QString::fromStdString(hello.computer));
    case LocalProtocol::NameProblem::AliasConflict:
        return tr("Otro equipo de la red ya usa el nombre «%1», así que los mensajes a ese "
                  "nombre le llegan a él: pida que lo libere o use otro nombre.")
            .arg(alias);
    case LocalProtocol::NameProblem::AliasTooLong:
        return tr("El nombre «%1» tiene más de 15 caracteres y no se puede anunciar en la red: "
                  "los mensajes le llegan solo por el nombre del equipo.")
            .arg(alias);
    case LocalProtocol::NameProblem::AliasUnavailable:
        return tr("El nombre «%1» no se pudo anunciar en la red porque el servicio de nombres "
                  "no está disponible: los mensajes le llegan solo por el nombre del equipo.")
            .arg(alias);
    }
    return QString();
}

std::optional<InboxMessage> ServiceClient::inboxMessage(const LocalProtocol::Line& line)
{
    const auto* m = std::get_if<LocalProtocol::Message>(&line);
    if (!m || m->id.empty())
        return std::nullopt;
    const auto qt = [](const std::string& text) {
        return QString::fromStdString(text);
    };
    return InboxMessage{QString(),     qt(m->id), qt(m->from),     qt(m->machine), qt(m->address),
                        qt(m->called), qt(m->to), qt(m->received), qt(m->text),    true};
}

void ServiceClient::start()
{
    setState(State::Connecting);
    connectNow();
}

void ServiceClient::acknowledge(const QString& id)
{
    if (m_socket && m_socket->state() == QLocalSocket::ConnectedState) {
        m_socket->write(
            QByteArray::fromStdString(LocalProtocol::encode(LocalProtocol::Ack{id.toStdString()})));
        // Out now, not at the next turn of the event loop, which a quitting inbox never sees.
        m_socket->flush();
    }
}

void ServiceClient::connectNow()
{
    dropSocket();
    m_reader = LocalProtocol::LineReader();
    m_socket = new QLocalSocket(this);
    m_socket->setReadBufferSize(kReadBufferBytes);
    connect(m_socket, &QLocalSocket::connected, this, [this] { m_helloTimeout.start(); });
    connect(m_socket, &QLocalSocket::readyRead, this, &ServiceClient::onReadyRead);
    connect(m_socket, &QLocalSocket::errorOccurred, this, &ServiceClient::onError);
    connect(m_socket, &QLocalSocket::disconnected, this, &ServiceClient::onDisconnected);
    m_socket->connectToServer(m_options.socketPath);
}

void ServiceClient::onReadyRead()
{
    QList<InboxMessage> messages;
    bool broken = false;
    while (!broken && m_socket && m_socket->bytesAvailable() > 0) {
        const QByteArray chunk = m_socket->read(qint64(LocalProtocol::kMaxLine));
        m_reader.append(std::string_view(chunk.constData(), std::size_t(chunk.size())));
        while (const auto text = m_reader.nextLine()) {
            if (QByteArrayView(*text).trimmed().isEmpty())
                continue;
            const LocalProtocol::Line line = LocalProtocol::decode(*text);
            broken = std::holds_alternative<LocalProtocol::Malformed>(line);
            if (broken)
                break;
            if (const auto* hello = std::get_if<LocalProtocol::Hello>(&line)) {
                m_hello = *hello;
                m_failures = 0;
                m_helloTimeout.stop();
                setState(State::Connected);
                emit helloReceived(m_hello);
            } else if (const auto* update = std::get_if<LocalProtocol::NameUpdate>(&line)) {
                LocalProtocol::apply(m_hello, *update);
                emit helloReceived(m_hello);
            } else if (auto message = inboxMessage(line)) {
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
    if (error == QLocalSocket::PeerClosedError)
        return onDisconnected();
    if (error == QLocalSocket::SocketAccessError)
        return retryLater(State::NoPermission);
    // No socket at all: the service may not even be installed.
    const bool installed = error != QLocalSocket::ServerNotFoundError ||
                           !m_options.serviceInstalled || m_options.serviceInstalled();
    retryLater(installed ? State::NotRunning : State::NotInstalled);
}

void ServiceClient::onDisconnected()
{
    // The service went away, most often for a restart: try again soon, and say so only if
    // that fails.
    if (m_state != State::Connected)
        return retryLater(m_state == State::Connecting ? State::NotRunning : m_state);
    // Error and disconnection both report the one loss.
    if (m_socket)
        m_socket->disconnect(this);
    setState(State::Connecting);
    retrySoon();
}

void ServiceClient::retryLater(State state)
{
    dropSocket();
    setState(state);
    retrySoon();
}

void ServiceClient::retrySoon()
{
    ++m_failures;
    m_helloTimeout.stop();
    // One pending attempt at a time, however many errors one failure raises.
    if (!m_retry.isActive())
        m_retry.start(retryDelayMs(m_failures, m_options.maxRetryMs));
}

void ServiceClient::dropSocket()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
}

void ServiceClient::setState(State state)
{
    if (state == m_state && state != State::Connected)
        return;
    m_state = state;
    emit stateChanged(state);
}
