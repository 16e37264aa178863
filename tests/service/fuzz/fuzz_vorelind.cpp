// What vorelind does with untrusted bytes: a session fed whole and in pieces gives the same
// answers and messages; the local socket's decoder, line reader and the inbox take any line.

#include "../../protocol/fuzz/FuzzCheck.h"
#include "protocol/local/Json.h"
#include "protocol/local/LocalProtocol.h"
#include "service/Inbox.h"
#include "service/SessionMachine.h"

#include <algorithm>
#include <filesystem>

namespace {

class Recorder final : public MessageSink
{
public:
    Verdict admit(const ReceivedMessage&) override { return Verdict::Accepted; }
    Verdict deliver(const ReceivedMessage& message) override
    {
        // Names are bounded and one line each, whatever the sender wrote.
        for (const std::string* name : {&message.from, &message.to}) {
            FUZZ_CHECK(name->size() <= 3 * 255);
            FUZZ_CHECK(std::none_of(name->begin(), name->end(),
                                    [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
        }
        texts.push_back(message.text);
        return Verdict::Accepted;
    }
    void refused(const ReceivedMessage&, Verdict) override {}
    std::vector<std::string> texts;
};

struct Result
{
    std::vector<std::uint8_t> out;
    bool closed = false;
    std::vector<std::string> texts;
};

Result run(std::span<const std::uint8_t> input, std::size_t chunk)
{
    static const NameTable names("VTEST", [] { return std::vector<std::string>{"127.0.0.1"}; });
    static const OemDecoder decoder;
    Recorder sink;
    const auto now = SessionMachine::Clock::now();
    SessionMachine::Limits limits;
    limits.maxFrame = 8192;
    SessionMachine machine(names, sink, decoder, "192.0.2.1", limits, now);
    Result result;
    for (std::size_t at = 0; at < input.size() && !result.closed; at += chunk) {
        auto out = machine.receive(input.subspan(at, std::min(chunk, input.size() - at)), now);
        result.out.insert(result.out.end(), out.bytes.begin(), out.bytes.end());
        result.closed = out.close;
    }
    result.texts = std::move(sink.texts);
    for (const auto& text : result.texts)
        FUZZ_CHECK(!text.empty() && text.size() <= 4 * 4095);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const Result whole = run(input, std::max<std::size_t>(size, 1));
    const Result pieces = run(input, 1 + (size > 0 ? data[0] % 7 : 0));
    FUZZ_CHECK(whole.out == pieces.out);
    FUZZ_CHECK(whole.closed == pieces.closed);
    FUZZ_CHECK(whole.texts == pieces.texts);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto value = Json::parse(text)) {
        FUZZ_CHECK(value->members.size() <= 64);
        // Whatever decodes, written back as a string, decodes to itself.
        if (value->type == Json::Value::Type::String) {
            const auto again = Json::parse(Json::quoted(value->text));
            FUZZ_CHECK(again && again->text == value->text);
        }
    }
    // A line that decodes to a message is handed out as one, or refused; the lines of a
    // stream never pass the limit.
    if (const auto line = LocalProtocol::handOut(text, "0000000000000001"))
        FUZZ_CHECK(std::holds_alternative<LocalProtocol::Message>(
            LocalProtocol::decode(std::string_view(*line).substr(0, line->size() - 1))));
    LocalProtocol::LineReader reader;
    reader.append(text);
    while (const auto line = reader.nextLine())
        FUZZ_CHECK(line->size() <= LocalProtocol::kMaxLine);
    FUZZ_CHECK(reader.pending() <= LocalProtocol::kMaxLine + 1 || reader.failed());
    // The writer's output always parses.
    const auto quoted = Json::parse(Json::quoted(text));
    FUZZ_CHECK(quoted && quoted->type == Json::Value::Type::String);
    // No C1 control leaves the writer raw.
    const std::string written = Json::quoted(text);
    for (std::size_t at = 0; at + 1 < written.size(); ++at)
        FUZZ_CHECK(!(written[at] == '\xC2' && static_cast<unsigned char>(written[at + 1]) < 0xA0));

    // Any bytes from a local client: no crash, bounded buffers.
    static const std::string dir = [] {
        const auto path = std::filesystem::temp_directory_path() / "fuzz-vorelind-spool";
        std::filesystem::create_directories(path);
        return path.string();
    }();
    Spool spool(dir, 10, 1 << 16);
    Inbox inbox("VTEST", spool, [](const std::string&) {});
    const auto client = inbox.connect({1000, "alice", false});
    inbox.receive(client, text);
    FUZZ_CHECK(inbox.takeOutput(client).size() < 64 * 1024 + 4096 * (size + 1));
    return 0;
}
