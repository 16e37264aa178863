#pragma once

#include "app/inbox/InboxMessage.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>

// The service's local socket: one JSON object per line, UTF-8.
//
//   server -> client   {"type":"hello","user":..,"computer":..[,"alias":..,"alias_state":..]}
//                      {"type":"message","id":..,"from":..,"machine":..,"address":..,
//                       "called":..,"to":..,"received":..,"text":..}
//   client -> server   {"type":"ack","id":..}
//
// Unknown fields and unknown types are ignored, so that later services can add to both.
namespace ServiceProtocol {

constexpr qsizetype kMaxLine = 64 * 1024;

// Splits a byte stream into lines without holding more than one line's worth. A line longer
// than kMaxLine fails the reader for good: the stream cannot be trusted after it.
class LineReader
{
public:
    void append(QByteArrayView bytes);
    // The next whole line without its line break, once one is in.
    std::optional<QByteArray> nextLine();
    bool failed() const { return m_failed; }

private:
    void fail();

    QByteArray m_buffer;
    qsizetype m_scanned = 0;
    bool m_failed = false;
};

struct Hello
{
    QString user;
    QString computer;
    QString alias;
    QString aliasState;    // held, pending, conflict, too-long, unavailable; empty when not sent
    QString computerState; // the computer name's, in the same words
};

// A later word on where a name stands: {"type":"alias",..} or {"type":"computer",..}.
struct NameUpdate
{
    bool computer = false;
    QString name;
    QString state;
};

struct Ignored
{};

// Not a JSON object: the stream is broken.
struct Malformed
{};

using Event = std::variant<Hello, InboxMessage, NameUpdate, Ignored, Malformed>;

// A message without an id cannot be acknowledged and is ignored.
Event parseLine(QByteArrayView line);

QByteArray ackLine(const QString& id);

// What a name update changes in what the hello said.
void apply(Hello& hello, const NameUpdate& update);

// One sentence for an alias (or a computer name) the user cannot rely on; empty for held,
// pending and the unknown.
QString aliasProblem(const Hello& hello);

} // namespace ServiceProtocol
