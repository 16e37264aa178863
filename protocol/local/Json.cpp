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
        if (!value || m_at != m_text.size())
            return std::nullopt;
        return value;
    }

private:
    bool atEnd() const { return m_at >= m_text.size(); }
    char peek() const { return atEnd() ? '\0' : m_text[m_at]; }

    void skipSpace()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++m_at;
    }

    bool literal(std::string_view word)
    {
        if (m_text.substr(m_at, word.size()) != word)
            return false;
        m_at += word.size();
        return true;
    }

    std::optional<Value> parseValue(std::size_t depth)
    {
        if (depth > Json::kMaxDepth)
            return std::nullopt;
        skipSpace();
        Value value;
        switch (peek()) {
        case '{':
        case '[':
            return parseContainer(depth);
        case '"': {
            auto text = parseString();
            if (!text)
                return std::nullopt;
            value.type = Value::Type::String;
            value.text = std::move(*text);
            return value;
        }
        case 't':
        case 'f':
            value.type = Value::Type::Bool;
            value.boolean = peek() == 't';
            if (!literal(value.boolean ? "true" : "false"))
                return std::nullopt;
            return value;
        case 'n':
            if (!literal("null"))
                return std::nullopt;
            return value;
        default:
            return parseNumber();
        }
    }

    // An object's members or an array's items, separated by commas.
    std::optional<Value> parseContainer(std::size_t depth)
    {
        const bool object = m_text[m_at++] == '{';
        const char close = object ? '}' : ']';
        Value value;
        value.type = object ? Value::Type::Object : Value::Type::Array;
        skipSpace();
        // Sorted, so that a line of many keys costs n log n, not n squared.
        std::set<std::string> keys;
        while (peek() != close) {
            std::optional<std::string> key;
            if (object) {
                if (peek() != '"' || value.members.size() == Json::kMaxMembers)
                    return std::nullopt;
                key = parseString();
                if (!key || !keys.insert(*key).second)
                    return std::nullopt;
                skipSpace();
                if (peek() != ':')
                    return std::nullopt;
                ++m_at;
            }
            auto item = parseValue(depth + 1);
            if (!item)
                return std::nullopt;
            if (object)
                value.members.push_back(Json::Member{std::move(*key), std::move(*item)});
            else
                value.items.push_back(std::move(*item));
            skipSpace();
            if (peek() != ',')
                break;
            ++m_at;
            skipSpace();
            if (peek() == close) // a comma before the end
                return std::nullopt;
        }
        if (peek() != close)
            return std::nullopt;
        ++m_at;
        return value;
    }

    std::optional<Value> parseNumber()
    {
        const std::size_t start = m_at;
        const auto digits = [&] {
            const std::size_t from = m_at;
            while (!atEnd() && peek() >= '0' && peek() <= '9')
                ++m_at;
            return m_at > from;
        };
        if (peek() == '-')
            ++m_at;
        if (peek() == '0') {
            ++m_at;
        } else if (!digits()) {
            return std::nullopt;
        }
        if (peek() == '.') {
            ++m_at;
            if (!digits())
                return std::nullopt;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++m_at;
            if (peek() == '+' || peek() == '-')
                ++m_at;
            if (!digits())
                return std::nullopt;
        }
        Value value;
        value.type = Value::Type::Number;
        value.text = std::string(m_text.substr(start, m_at - start));
        return value;
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
        while (true) {
            if (atEnd())
                return std::nullopt;
            const auto c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                ++m_at;
                return out;
            }
            if (c < 0x20)
                return std::nullopt;
            if (c == '\\') {
                ++m_at;
                if (atEnd())
                    return std::nullopt;
                const char e = m_text[m_at++];
                if (const auto at = kEscaped.find(e); at != std::string_view::npos) {
                    out.push_back(kMeaning[at]);
                    continue;
                }
                if (e != 'u')
                    return std::nullopt;
                auto unit = hex4();
                if (!unit)
                    return std::nullopt;
                char32_t point = *unit;
                if (point >= 0xDC00 && point <= 0xDFFF)
                    return std::nullopt;
                if (point >= 0xD800 && point <= 0xDBFF) {
                    if (!literal("\\u"))
                        return std::nullopt;
                    auto low = hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return std::nullopt;
                    point = 0x10000 + ((point - 0xD800) << 10) + (*low - 0xDC00);
                }
                Utf8::append(out, point);
                continue;
            }
            // Raw UTF-8 must be valid: a U+FFFD that was not written as such marks a bad byte.
            const std::size_t before = m_at;
            if (Utf8::next(m_text, m_at) == 0xFFFD && m_text.substr(before, 3) != "\xEF\xBF\xBD")
                return std::nullopt;
            out.append(m_text.substr(before, m_at - before));
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

namespace Json {

const Value* Value::find(std::string_view key) const
{
    for (const auto& [name, value] : members) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

std::optional<std::string> Value::string(std::string_view key) const
{
    const Value* value = find(key);
    if (!value || value->type != Type::String)
        return std::nullopt;
    return value->text;
}

std::optional<std::uint64_t> Value::unsignedNumber(std::string_view key) const
{
    const Value* value = find(key);
    if (!value || value->type != Type::Number)
        return std::nullopt;
    std::uint64_t number = 0;
    const char* begin = value->text.data();
    const char* end = begin + value->text.size();
    const auto [ptr, error] = std::from_chars(begin, end, number);
    if (error != std::errc() || ptr != end)
        return std::nullopt;
    return number;
}

std::optional<Value> parse(std::string_view text)
{
    return Parser(text).document();
}

void ObjectWriter::key(std::string_view name)
{
    if (m_text.size() > 1)
        m_text.push_back(',');
    m_text += quoted(name);
    m_text.push_back(':');
}

ObjectWriter& ObjectWriter::add(std::string_view name, std::string_view value)
{
    key(name);
    m_text += quoted(value);
    return *this;
}

ObjectWriter& ObjectWriter::add(std::string_view name, std::uint64_t value)
{
    key(name);
    m_text += std::to_string(value);
    return *this;
}

std::string ObjectWriter::finish()
{
    m_text.push_back('}');
    return std::move(m_text);
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
