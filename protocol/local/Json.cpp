#include "protocol/local/Json.h"

#include "protocol/OemDecoder.h"

#include <charconv>
#include <set>

namespace {

using Json::Value;

// The escapes of one letter and what they stand for; the writer uses those up to '/'.
constexpr std::string_view kMeaning = "\"\\\n\r\t/\b\f";
constexpr std::string_view kEscaped = "\"\\nrt/bf";
constexpr std::size_t kWritten = 5;

class Parser
{
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    std::optional<Value> document()
    {
        auto value = parseValue(0);
        skipSpace();
        return m_at == m_text.size() ? value : std::nullopt;
    }

private:
    // '\0' past the end, which no grammar rule accepts.
    char peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }

    // Takes the next character if it is one of these.
    bool accept(std::string_view any)
    {
        const bool taken = any.find(peek()) != std::string_view::npos;
        m_at += taken;
        return taken;
    }

    void skipSpace()
    {
        while (accept(" \t\n\r")) {
        }
    }

    bool literal(std::string_view word)
    {
        if (m_text.substr(m_at, word.size()) != word)
            return false;
        m_at += word.size();
        return true;
    }

    bool digits()
    {
        const std::size_t from = m_at;
        while (accept("0123456789")) {
        }
        return m_at > from;
    }

    std::optional<Value> parseValue(std::size_t depth)
    {
        if (depth > Json::kMaxDepth)
            return std::nullopt;
        skipSpace();
        if (peek() == '{' || peek() == '[')
            return parseContainer(depth);
        if (peek() == '"') {
            auto text = parseString();
            return text ? std::optional(Value{Value::Type::String, std::move(*text), {}})
                        : std::nullopt;
        }
        for (const std::string_view word : {"true", "false", "null"})
            if (literal(word))
                return Value{word == "null" ? Value::Type::Null : Value::Type::Bool, {}, {}};
        const std::size_t start = m_at;
        accept("-");
        if ((!accept("0") && !digits()) || (accept(".") && !digits()))
            return std::nullopt;
        if (accept("eE")) {
            accept("+-");
            if (!digits())
                return std::nullopt;
        }
        return Value{Value::Type::Number, std::string(m_text.substr(start, m_at - start)), {}};
    }

    // An object's members or an array's items, separated by commas.
    std::optional<Value> parseContainer(std::size_t depth)
    {
        const bool object = m_text[m_at++] == '{';
        const std::string_view close = object ? "}" : "]";
        Value value{object ? Value::Type::Object : Value::Type::Array, {}, {}};
        // Sorted, so that a line of many keys costs n log n, not n squared.
        std::set<std::string> keys;
        skipSpace();
        if (accept(close))
            return value;
        do {
            std::optional<std::string> key;
            if (object) {
                skipSpace();
                if (peek() != '"' || value.members.size() == Json::kMaxMembers)
                    return std::nullopt;
                key = parseString();
                skipSpace();
                if (!key || !keys.insert(*key).second || !accept(":"))
                    return std::nullopt;
            }
            auto item = parseValue(depth + 1);
            if (!item)
                return std::nullopt;
            if (object)
                value.members.push_back(Json::Member{std::move(*key), std::move(*item)});
            skipSpace();
        } while (accept(","));
        return accept(close) ? std::optional(std::move(value)) : std::nullopt;
    }

    std::optional<unsigned> hex4()
    {
        unsigned value = 0;
        const char* begin = m_text.data() + m_at;
        if (m_at + 4 > m_text.size() ||
            std::from_chars(begin, begin + 4, value, 16).ptr != begin + 4)
            return std::nullopt;
        m_at += 4;
        return value;
    }

    std::optional<std::string> parseString()
    {
        ++m_at; // "
        std::string out;
        while (!accept("\"")) {
            if (static_cast<unsigned char>(peek()) < 0x20) // the end too
                return std::nullopt;
            if (!accept("\\")) {
                // Raw UTF-8 must be valid: a U+FFFD not written as such marks a bad byte.
                const std::size_t before = m_at;
                if (Utf8::next(m_text, m_at) == 0xFFFD &&
                    m_text.substr(before, 3) != "\xEF\xBF\xBD")
                    return std::nullopt;
                out.append(m_text.substr(before, m_at - before));
            } else if (const auto at = kEscaped.find(peek()); at != std::string_view::npos) {
                ++m_at;
                out.push_back(kMeaning[at]);
            } else {
                auto unit = accept("u") ? hex4() : std::nullopt;
                if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF))
                    return std::nullopt;
                char32_t point = *unit;
                if (point >= 0xD800 && point <= 0xDBFF) {
                    const auto low = literal("\\u") ? hex4() : std::nullopt;
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return std::nullopt;
                    point = 0x10000 + ((point - 0xD800) << 10) + (*low - 0xDC00);
                }
                Utf8::append(out, point);
            }
        }
        return out;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

namespace Json {

const Value* Value::find(std::string_view key) const
{
    for (const auto& [name, value] : members)
        if (name == key)
            return &value;
    return nullptr;
}

std::optional<std::string> Value::string(std::string_view key) const
{
    const Value* value = find(key);
    return value && value->type == Type::String ? std::optional(value->text) : std::nullopt;
}

std::optional<std::uint64_t> Value::unsignedNumber(std::string_view key) const
{
    const Value* value = find(key);
    std::uint64_t number = 0;
    if (!value || value->type != Type::Number)
        return std::nullopt;
    const char* end = value->text.data() + value->text.size();
    const auto [ptr, error] = std::from_chars(value->text.data(), end, number);
    return error == std::errc() && ptr == end ? std::optional(number) : std::nullopt;
}

std::optional<Value> parse(std::string_view text)
{
    return Parser(text).document();
}

ObjectWriter& ObjectWriter::member(std::string_view key, const std::string& json)
{
    m_text.append(m_text.size() > 1 ? "," : "").append(quoted(key)).append(":").append(json);
    return *this;
}

std::string quoted(std::string_view utf8)
{
    std::string out = "\"";
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t at = 0; at < utf8.size();) {
        const char32_t point = Utf8::next(utf8, at);
        const auto escape = point < 0x80 ? kMeaning.find(char(point)) : std::string_view::npos;
        if (escape < kWritten) {
            out.push_back('\\');
            out.push_back(kEscaped[escape]);
        } else if (Utf8::isControl(point) || Utf8::isHiddenFormat(point)) {
            // C1 controls and hidden format characters travel escaped too: a reader that prints
            // the line raw shows them as text, not as what they do.
            out += "\\u";
            for (const int shift : {12, 8, 4, 0})
                out.push_back(kHex[(point >> shift) & 0x0F]);
        } else {
            Utf8::append(out, point);
        }
    }
    out.push_back('"');
    return out;
}

} // namespace Json
