#include "app/inbox/ServiceProtocol.h"

#include <QCoreApplication>

namespace ServiceProtocol {

namespace {

QString qt(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

Event parseLine(QByteArrayView line)
{
    namespace Wire = LocalProtocol;
    const Wire::Line decoded =
        Wire::decode(std::string_view(line.data(), std::size_t(line.size())));
    if (std::holds_alternative<Wire::Malformed>(decoded))
        return Malformed{};
    if (const auto* hello = std::get_if<Wire::Hello>(&decoded))
        return *hello;
    if (const auto* update = std::get_if<Wire::NameUpdate>(&decoded))
        return *update;
    if (const auto* m = std::get_if<Wire::Message>(&decoded); m && !m->id.empty())
        return InboxMessage{QString(),      qt(m->id),     qt(m->from), qt(m->machine),
                            qt(m->address), qt(m->called), qt(m->to),   qt(m->received),
                            qt(m->text),    true};
    return Ignored{};
}

QByteArray ackLine(const QString& id)
{
    return QByteArray::fromStdString(LocalProtocol::encode(LocalProtocol::Ack{id.toStdString()}));
}

QString aliasProblem(const Hello& hello)
{
    namespace Wire = LocalProtocol;
    const QString alias = qt(hello.alias.empty() ? hello.user : hello.alias);
    switch (Wire::nameProblem(hello)) {
    case Wire::NameProblem::None:
        break;
    case Wire::NameProblem::ComputerConflict:
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "Otro equipo de la red ya usa el nombre de este equipo, «%1», así que los "
                   "mensajes a ese nombre le llegan a él: cambie el nombre de uno de los dos "
                   "equipos.")
            .arg(qt(hello.computer));
    case Wire::NameProblem::AliasConflict:
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "Otro equipo de la red ya usa el nombre «%1», así que los mensajes a ese "
                   "nombre le llegan a él: pida que lo libere o use otro nombre.")
            .arg(alias);
    case Wire::NameProblem::AliasTooLong:
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "El nombre «%1» tiene más de 15 caracteres y no se puede anunciar en la red: "
                   "los mensajes le llegan solo por el nombre del equipo.")
            .arg(alias);
    case Wire::NameProblem::AliasUnavailable:
        return QCoreApplication::translate(
                   "ServiceProtocol",
                   "El nombre «%1» no se pudo anunciar en la red porque el servicio de nombres "
                   "no está disponible: los mensajes le llegan solo por el nombre del equipo.")
            .arg(alias);
    }
    return QString();
}

} // namespace ServiceProtocol
