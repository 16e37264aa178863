#include "app/inbox/ServiceProtocol.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace ServiceProtocol {

void LineReader::append(QByteArrayView bytes)
{
    if (m_failed)
        return;
    m_buffer.append(bytes);
    // Only the unfinished last line can grow: a reader that is drained after each append
    // holds at most one line and one chunk.
    if (m_buffer.size() > kMaxLine && m_buffer.indexOf('\n', m_scanned) < 0)
        fail();
}

std::optional<QByteArray> LineReader::nextLine()
{
    if (m_failed)
        return std::nullopt;
    const qsizetype end = m_buffer.indexOf('\n', m_scanned);
    if (end < 0) {
        m_scanned = m_buffer.size();
        if (m_buffer.size() > kMaxLine)
            fail();
        return std::nullopt;
    }
    if (end > kMaxLine) {
        fail();
        return std::nullopt;
    }
    QByteArray line = m_buffer.left(end);
    m_buffer.remove(0, end + 1);
    m_scanned = 0;
    return line;
}

void LineReader::fail()
{
    m_failed = true;
    m_buffer.clear();
    m_buffer.squeeze();
    m_scanned = 0;
}

namespace {

QString field(const QJsonObject& object, QLatin1StringView name)
{
    const QJsonValue value = object.value(name);
    return value.isString() ? value.toString() : QString();
}

} // namespace

Event parseLine(QByteArrayView line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Malformed{};
    const QJsonObject object = document.object();
    const QString type = field(object, QLatin1StringView("type"));
    if (type == QLatin1StringView("hello")) {
        return Hello{field(object, QLatin1StringView("user")),
                     field(object, QLatin1StringView("computer")),
                     field(object, QLatin1StringView("alias")),
                     field(object, QLatin1StringView("alias_state")),
                     field(object, QLatin1StringView("computer_state"))};
    }
    if (type == QLatin1StringView("alias") || type == QLatin1StringView("computer")) {
        const bool computer = type == QLatin1StringView("computer");
        return NameUpdate{
            computer,
            field(object, computer ? QLatin1StringView("computer") : QLatin1StringView("alias")),
            field(object, computer ? QLatin1StringView("computer_state")
                                   : QLatin1StringView("alias_state"))};
    }
    if (type == QLatin1StringView("message")) {
        InboxMessage message;
        message.id = field(object, QLatin1StringView("id"));
        if (message.id.isEmpty())
            return Ignored{};
        message.from = field(object, QLatin1StringView("from"));
        message.machine = field(object, QLatin1StringView("machine"));
        message.address = field(object, QLatin1StringView("address"));
        message.called = field(object, QLatin1StringView("called"));
        message.to = field(object, QLatin1StringView("to"));
        message.received = field(object, QLatin1StringView("received"));
        message.text = field(object, QLatin1StringView("text"));
        return message;
    }
    return Ignored{};
}

QByteArray ackLine(const QString& id)
{
    const QJsonObject ack{{QStringLiteral("type"), QStringLiteral("ack")},
                          {QStringLiteral("id"), id}};
    return QJsonDocument(ack).toJson(QJsonDocument::Compact) + '\n';
}

void apply(Hello& hello, const NameUpdate& update)
{
    if (update.computer) {
        hello.computerState = update.state;
    } else {
        hello.alias = update.name;
        hello.aliasState = update.state;
    }
}

QString aliasProblem(const Hello& hello)
{
    // Where the name service is off, nmbd holds the computer name; only a conflict matters.
    if (hello.computerState == QLatin1StringView("conflict"))
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "Otro equipo de la red ya usa el nombre de este equipo, «%1», así que los "
                   "mensajes a ese nombre le llegan a él: cambie el nombre de uno de los dos "
                   "equipos.")
            .arg(hello.computer);
    const QString alias = hello.alias.isEmpty() ? hello.user : hello.alias;
    if (hello.aliasState == QLatin1StringView("conflict"))
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "Otro equipo de la red ya usa el nombre «%1», así que los mensajes a ese "
                   "nombre le llegan a él: pida que lo libere o use otro nombre.")
            .arg(alias);
    if (hello.aliasState == QLatin1StringView("too-long"))
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "El nombre «%1» tiene más de 15 caracteres y no se puede anunciar en la red: "
                   "los mensajes le llegan solo por el nombre del equipo.")
            .arg(alias);
    if (hello.aliasState == QLatin1StringView("unavailable"))
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "El nombre «%1» no se pudo anunciar en la red porque el servicio de nombres "
                   "no está disponible: los mensajes le llegan solo por el nombre del equipo.")
            .arg(alias);
    return QString();
}

} // namespace ServiceProtocol
