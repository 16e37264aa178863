#pragma once

#include "app/inbox/InboxMessage.h"
#include "protocol/local/LocalProtocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>

// The service's local socket (protocol/local) in Qt's types, for the inbox.
namespace ServiceProtocol {

constexpr qsizetype kMaxLine = qsizetype(LocalProtocol::kMaxLine);

using LineReader = LocalProtocol::LineReader;

using Hello = LocalProtocol::Hello;
using NameUpdate = LocalProtocol::NameUpdate;

struct Ignored
{};

// Not a JSON object: the stream is broken.
struct Malformed
{};

using Event = std::variant<Hello, InboxMessage, NameUpdate, Ignored, Malformed>;

// A message without an id cannot be acknowledged and is ignored.
Event parseLine(QByteArrayView line);

QByteArray ackLine(const QString& id);

// One sentence for the name the user cannot rely on (LocalProtocol::nameProblem); empty when
// there is none.
QString aliasProblem(const Hello& hello);

} // namespace ServiceProtocol
