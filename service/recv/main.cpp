// vorelin-recv: prints the messages vorelind received for this user, as they arrive, and
// acknowledges each once it is printed.

#include "service/Json.h"
#include "service/LocalClient.h"

#include "protocol/OemDecoder.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLastRetry = std::chrono::milliseconds(5000);
constexpr auto kReplyTime = std::chrono::milliseconds(5000);

const char* const kUsage = "Usage: vorelin-recv [--json] [--once] [--socket PATH]\n";
const char* const kHelp =
    "Prints the LAN messages that vorelind received for you: first those waiting, then each\n"
    "new one as it arrives. Each printed message is acknowledged, and the service forgets it.\n"
    "\n"
    "  --json          one JSON object per line: id, from, machine, address, called, to,\n"
    "                  received, text\n"
    "  --once          print what is waiting and exit\n"
    "  --socket PATH   the service's socket (default /run/vorelin/inbox.socket)\n"
    "  -h, --help      show this help\n"
    "  -V, --version   show the version\n"
    "\n"
    "Without --once it keeps running, and reconnects when the service restarts.\n"
    "Exit status: 0 done, 1 the service could not be reached (--once), 2 usage error.\n";

constexpr const char* kFields[] = {"id",     "from", "machine",  "address",
                                   "called", "to",   "received", "text"};

// Text from the network must not drive the terminal nor disguise itself: control characters
// other than the line break and tab, and bidi and invisible format characters, become U+FFFD.
std::string forTerminal(std::string_view text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const char32_t c = Utf8::next(text, at);
        const bool hidden =
            (Utf8::isControl(c) && c != '\n' && c != '\t') || Utf8::isHiddenFormat(c);
        Utf8::append(out, hidden ? char32_t(0xFFFD) : c);
    }
    return out;
}

void print(const Json::Value& message, bool json)
{
    const auto field = [&](const char* key) {
        return message.string(key).value_or("");
    };
    if (json) {
        Json::ObjectWriter writer;
        for (const char* key : kFields)
            writer.add(key, field(key));
        std::printf("%s\n", writer.finish().c_str());
    } else {
        const std::string to = field("to").empty() ? field("called") : field("to");
        std::printf("Message from %s to %s on %s\n(machine %s, address %s)\n%s\n\n",
                    forTerminal(field("from")).c_str(), forTerminal(to).c_str(),
                    forTerminal(field("received")).c_str(), forTerminal(field("machine")).c_str(),
                    field("address").empty() ? "local hand-in"
                                             : forTerminal(field("address")).c_str(),
                    forTerminal(field("text")).c_str());
    }
    std::fflush(stdout);
}

enum class NameKind
{
    Alias,
    Computer
};

// Name-service hook: where the user's alias (or the computer name) stands on the network, on
// stderr, so that the user learns why nobody reaches them by name. Held needs no word.
void tellName(const Json::Value& value, NameKind kind)
{
    const bool computer = kind == NameKind::Computer;
    const auto alias = value.string(computer ? "computer" : "alias");
    const auto state = value.string(computer ? "computer_state" : "alias_state");
    if (!alias || !state || *state == "held" || *state == "pending")
        return;
    // Where the name service is off, nmbd holds the computer name for this machine.
    if (computer && *state != "conflict")
        return;
    const std::string name = forTerminal(*alias);
    if (*state == "conflict")
        std::fprintf(stderr,
                     "vorelin-recv: another computer holds the name %s: messages to it "
                     "go there\n",
                     name.c_str());
    else if (*state == "too-long")
        std::fprintf(stderr,
                     "vorelin-recv: your login %s is longer than 15 bytes: no message "
                     "name for it; messages to the computer name still arrive\n",
                     name.c_str());
    else if (*state == "unavailable")
        std::fprintf(stderr,
                     "vorelin-recv: the name service is off (another program holds UDP "
                     "137): nobody can reach you as %s\n",
                     name.c_str());
}

// Prints and acknowledges one "message" line; false when the line is not one.
bool handle(LocalClient& client, const std::string& line, bool json)
{
    const auto value = Json::parse(line);
    if (value && value->string("type") == "alias")
        tellName(*value, NameKind::Alias);
    if (value && value->string("type") == "computer")
        tellName(*value, NameKind::Computer);
    if (!value || value->string("type") != "message")
        return false;
    const auto id = value->string("id");
    if (!id)
        return false;
    print(*value, json);
    Json::ObjectWriter ack;
    ack.add("type", "ack").add("id", *id);
    client.sendLine(ack.finish());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    bool once = false;
    std::string socketPath = LocalClient::kDefaultSocket;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--once") {
            once = true;
        } else if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::printf("%s\n%s", kUsage, kHelp);
            return 0;
        } else if (arg == "-V" || arg == "--version") {
            std::printf("vorelin-recv %s\n", VORELIN_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "vorelin-recv: bad argument '%s'\n%s", argv[i], kUsage);
            return 2;
        }
    }

    LocalClient client;
    auto retry = kFirstRetry;
    bool toldWaiting = false;
    while (true) {
        std::string error;
        if (!client.connect(socketPath, error)) {
            if (once) {
                std::fprintf(stderr, "vorelin-recv: cannot reach the service: %s\n", error.c_str());
                return 1;
            }
            if (!toldWaiting)
                std::fprintf(stderr, "vorelin-recv: waiting for the service (%s)\n", error.c_str());
            toldWaiting = true;
            std::this_thread::sleep_for(retry);
            retry = std::min(retry * 2, kLastRetry);
            continue;
        }
        std::string line;
        if (client.readLine(line, kReplyTime) != LocalClient::Read::Line) {
            client.close();
            if (once)
                return 1;
            continue;
        }
        const auto hello = Json::parse(line);
        if (!hello || hello->string("type") != "hello") {
            std::fprintf(stderr, "vorelin-recv: the socket does not speak vorelind's protocol\n");
            return 1;
        }
        retry = kFirstRetry;
        toldWaiting = false;
        tellName(*hello, NameKind::Computer);
        tellName(*hello, NameKind::Alias);
        if (once) {
            auto waiting = hello->unsignedNumber("waiting").value_or(0);
            while (waiting > 0) {
                if (client.readLine(line, kReplyTime) != LocalClient::Read::Line)
                    return 1;
                if (handle(client, line, json))
                    --waiting;
            }
            client.finish(kReplyTime);
            return 0;
        }
        while (client.readLine(line, std::nullopt) == LocalClient::Read::Line)
            handle(client, line, json);
        std::fprintf(stderr, "vorelin-recv: the service went away; reconnecting\n");
    }
}
