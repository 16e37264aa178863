#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// vorelind's local socket (docs/local-socket.md): one JSON object per line, UTF-8. Every line
// either side writes or reads goes through here, so that a field is named in one place.
//
// Decoding is lenient where later versions may add (unknown members and types are ignored, a
// member of the wrong kind reads as empty) and strict about the bytes (see Json.h).
namespace LocalProtocol {

// Every line, either way. The longest line the service writes (a message of 4,095 characters,
// each escaped to six bytes, and its names) stays well under it.
constexpr std::size_t kMaxLine = 64 * 1024;
// The longest text a hand-in may have, in characters.
constexpr std::size_t kMaxTextCharacters = 4095;

// Splits a byte stream into lines without holding more than one line's worth. A line longer
// than kMaxLine fails the reader for good: the stream cannot be trusted after it.
class LineReader
{
public:
    void append(std::string_view bytes);
    // The next whole line, without its line break (nor a \r before it), once one is in.
    std::optional<std::string> nextLine();
    bool failed() const { return m_failed; }
    // What an unfinished line holds.
    std::size_t pending() const { return m_buffer.size(); }

private:
    void fail();

    std::string m_buffer;
    std::size_t m_scanned = 0;
    bool m_failed = false;
};

// Where a name stands on the network; empty when the service did not say.
struct Hello
{
    std::string user;
    std::string computer;
    std::uint64_t waiting = 0;
    std::string computerState;
    std::string alias;
    std::string aliasState;
};

struct Message
{
    std::string id;
    std::string from;
    std::string machine;
    std::string address;
    std::string called;
    std::string to;
    std::string received;
    std::string text;
};

// A later word on where a name stands: {"type":"alias",..} or {"type":"computer",..}.
struct NameUpdate
{
    bool computer = false;
    std::string name;
    std::string state;
};

struct Ack
{
    std::string id;
};

struct Deliver
{
    std::string from;
    std::string machine;
    std::string text;
    bool whole = true; // false when a member was missing
};

struct Delivered
{};

struct Refused
{
    std::string reason;
};

struct Error
{
    std::string reason;
};

// A JSON object this version has no use for (an unknown type, a message without an id...).
struct Ignored
{};

// Not a JSON object with a string type.
struct Malformed
{};

using Line = std::variant<Hello, Message, NameUpdate, Ack, Deliver, Delivered, Refused, Error,
                          Ignored, Malformed>;

Line decode(std::string_view line);

// The line with its line break; nothing for Ignored and Malformed.
std::string encode(const Line& line);

// What a name update changes in what the hello said.
void apply(Hello& hello, const NameUpdate& update);

// How the service keeps a message: its line as it is handed out, with the id left empty, since
// the spool names it.
std::string storedRecord(const Message& message);
// The line that hands out a stored record under its id. Records of storedRecord() go as they
// are, with the id put in; the older form (the fields and "user", without a type) is written
// anew. nullopt when the record is damaged.
std::optional<std::string> handOut(std::string_view record, std::string_view id);

// What a user must be told about a name: nothing while it is held or being registered.
enum class NameProblem
{
    None,
    ComputerConflict, // another computer holds the computer name
    AliasConflict,    // another computer holds the user's alias
    AliasTooLong,     // the login is too long to be a NetBIOS name
    AliasUnavailable, // the name service is off: nobody reaches the user by alias
};

NameProblem nameProblem(const NameUpdate& update);
// The one that matters most in a hello: the computer name's, then the alias's.
NameProblem nameProblem(const Hello& hello);

} // namespace LocalProtocol
