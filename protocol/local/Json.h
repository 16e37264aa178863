#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The little JSON that the local socket speaks: one object per line. The decoder is strict
// (RFC 8259 grammar, valid UTF-8, no duplicate keys, bounded depth and size) because the bytes come
// from any local program; the writer escapes whatever it is given.
namespace Json {

struct Member;

// What the local socket reads of a value: an array is checked and then forgotten.
struct Value
{
    enum class Type
    {
        Null,
        Bool,
        Number,
        String,
        Array,
        Object
    };
    Type type = Type::Null;
    std::string text; // String: the decoded UTF-8; Number: the literal as written
    std::vector<Member> members;

    const Value* find(std::string_view key) const;
    // The member's string, or nullopt when it is missing or not a string.
    std::optional<std::string> string(std::string_view key) const;
    // The member's value as a non-negative integer, or nullopt.
    std::optional<std::uint64_t> unsignedNumber(std::string_view key) const;
};

struct Member
{
    std::string key;
    Value value;
};

constexpr std::size_t kMaxDepth = 16;
// Far more than any request has; more is refused.
constexpr std::size_t kMaxMembers = 64;

std::optional<Value> parse(std::string_view text);

// A JSON string literal; invalid UTF-8 becomes U+FFFD.
std::string quoted(std::string_view utf8);

// Writes one object with its members in the order they are added.
class ObjectWriter
{
public:
    ObjectWriter& add(std::string_view key, std::string_view value)
    {
        return member(key, quoted(value));
    }
    ObjectWriter& add(std::string_view key, std::uint64_t value)
    {
        return member(key, std::to_string(value));
    }
    // The object's text, without a line break.
    std::string finish() { return std::move(m_text += '}'); }

private:
    ObjectWriter& member(std::string_view key, const std::string& json);
    std::string m_text = "{";
};

} // namespace Json
