#include "protocol/local/LocalProtocol.h"

#include "protocol/local/Json.h"

#include <algorithm>

namespace LocalProtocol {

namespace {

// A message's members in the order they are written, after type and id.
struct MessageField
{
    const char* key;
    std::string Message::*member;
};
constexpr MessageField kMessageFields[] = {
    {"from", &Message::from},     {"machine", &Message::machine}, {"address", &Message::address},
    {"called", &Message::called}, {"to", &Message::to},           {"received", &Message::received},
    {"text", &Message::text},
};

constexpr const char* kComputerState = "computer_state";
constexpr const char* kAlias = "alias";
constexpr const char* kAliasState = "alias_state";

// The start of a stored record: a message line whose id is still to be put in.
constexpr std::string_view kStoredPrefix = R"({"type":"message","id":")";

template <class... F> struct Overloaded : F...
{
    using F::operator()...;
};
// Older compilers (clang 14, which builds the fuzzers) do not deduce it by themselves.
template <class... F> Overloaded(F...) -> Overloaded<F...>;

std::string field(const Json::Value& object, std::string_view key)
{
    return object.string(key).value_or(std::string());
}

Message messageOf(const Json::Value& object)
{
    Message message;
    message.id = field(object, "id");
    for (const auto& [key, member] : kMessageFields)
        message.*member = field(object, key);
    return message;
}

// A line of the type and then these members, in order.
std::string line(std::string_view type,
                 std::initializer_list<std::pair<std::string_view, std::string_view>> members)
{
    Json::ObjectWriter writer;
    writer.add("type", type);
    for (const auto& [key, value] : members)
        writer.add(key, value);
    return writer.finish() + "\n";
}

} // namespace

void LineReader::append(std::string_view bytes)
{
    if (m_failed)
        return;
    m_buffer.append(bytes);
    // Only the unfinished last line can grow: a reader that is drained after each append
    // holds at most one line and one chunk.
    if (m_buffer.size() > kMaxLine && m_buffer.find('\n', m_scanned) == std::string::npos)
        fail();
}

std::optional<std::string> LineReader::nextLine()
{
    const std::size_t end = m_failed ? std::string::npos : m_buffer.find('\n', m_scanned);
    // What is scanned is a line so far, or the unfinished one: either may pass the limit.
    m_scanned = std::min(end, m_buffer.size());
    if (m_scanned > kMaxLine)
        fail();
    if (m_failed || end == std::string::npos)
        return std::nullopt;
    std::string line = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 1);
    m_scanned = 0;
    if (line.ends_with('\r'))
        line.pop_back();
    return line;
}

void LineReader::fail()
{
    m_failed = true;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_scanned = 0;
}

Line decode(std::string_view line)
{
    const auto object = Json::parse(line);
    const auto type = object ? object->string("type") : std::nullopt;
    if (!type || object->type != Json::Value::Type::Object)
        return Malformed{};
    const auto get = [&object](std::string_view key) {
        return field(*object, key);
    };
    if (*type == "hello") {
        return Hello{
            get("user"),         get("computer"), object->unsignedNumber("waiting").value_or(0),
            get(kComputerState), get(kAlias),     get(kAliasState)};
    }
    // Without an id a message cannot be acknowledged.
    if (*type == "message")
        return object->string("id") ? Line(messageOf(*object)) : Ignored{};
    if (*type == "alias")
        return NameUpdate{false, get(kAlias), get(kAliasState)};
    if (*type == "computer")
        return NameUpdate{true, get("computer"), get(kComputerState)};
    if (*type == "ack")
        return Ack{get("id")};
    if (*type == "deliver") {
        const bool whole =
            object->string("from") && object->string("machine") && object->string("text");
        return Deliver{get("from"), get("machine"), get("text"), whole};
    }
    if (*type == "delivered")
        return Delivered{};
    if (*type == "refused")
        return Refused{get("reason")};
    if (*type == "error")
        return Error{get("reason")};
    return Ignored{};
}

std::string encode(const Line& value)
{
    return std::visit(
        Overloaded{
            [](const Hello& hello) {
                Json::ObjectWriter writer;
                writer.add("type", "hello")
                    .add("user", hello.user)
                    .add("computer", hello.computer)
                    .add("waiting", hello.waiting);
                for (const auto& [key, value] :
                     {std::pair{kComputerState, &hello.computerState},
                      std::pair{kAlias, &hello.alias}, std::pair{kAliasState, &hello.aliasState}})
                    if (!value->empty())
                        writer.add(key, *value);
                return writer.finish() + "\n";
            },
            [](const Message& message) {
                Json::ObjectWriter writer;
                writer.add("type", "message").add("id", message.id);
                for (const auto& [key, member] : kMessageFields)
                    writer.add(key, message.*member);
                return writer.finish() + "\n";
            },
            [](const NameUpdate& update) {
                return update.computer
                           ? line("computer",
                                  {{"computer", update.name}, {kComputerState, update.state}})
                           : line("alias", {{kAlias, update.name}, {kAliasState, update.state}});
            },
            [](const Ack& ack) {
                return line("ack", {{"id", ack.id}});
            },
            [](const Deliver& deliver) {
                return line(
                    "deliver",
                    {{"from", deliver.from}, {"machine", deliver.machine}, {"text", deliver.text}});
            },
            [](const Delivered&) { return line("delivered", {}); },
            [](const Refused& refused) {
                return line("refused", {{"reason", refused.reason}});
            },
            [](const Error& error) {
                return line("error", {{"reason", error.reason}});
            },
            [](const auto&) { return std::string(); },
        },
        value);
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

std::string storedRecord(const Message& message)
{
    Message unnamed = message;
    unnamed.id.clear();
    return encode(unnamed);
}

std::optional<std::string> handOut(std::string_view record, std::string_view id)
{
    if (record.ends_with('\n'))
        record.remove_suffix(1);
    const auto object = Json::parse(record);
    if (!object || object->type != Json::Value::Type::Object)
        return std::nullopt;
    if (object->string("type")) {
        if (object->string("type") != "message" || object->string("id") != "" ||
            !record.starts_with(kStoredPrefix))
            return std::nullopt;
        return std::string(kStoredPrefix).append(id).append(record.substr(kStoredPrefix.size())) +
               "\n";
    }
    // The older form: an object of the fields alone, every one of them there.
    for (const auto& [key, member] : kMessageFields)
        if (!object->string(key))
            return std::nullopt;
    Message message = messageOf(*object);
    message.id = id;
    return encode(message);
}

NameProblem nameProblem(const NameUpdate& update)
{
    if (update.state == "conflict")
        return update.computer ? NameProblem::ComputerConflict : NameProblem::AliasConflict;
    // Where the name service is off, nmbd holds the computer name: only a conflict matters.
    if (update.computer)
        return NameProblem::None;
    if (update.state == "too-long")
        return NameProblem::AliasTooLong;
    if (update.state == "unavailable")
        return NameProblem::AliasUnavailable;
    return NameProblem::None;
}

NameProblem nameProblem(const Hello& hello)
{
    const NameProblem computer = nameProblem(NameUpdate{true, hello.computer, hello.computerState});
    return computer != NameProblem::None
               ? computer
               : nameProblem(NameUpdate{false, hello.alias, hello.aliasState});
}

} // namespace LocalProtocol
