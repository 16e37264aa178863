// vorelin-recv: prints the messages vorelind received for this user, as they arrive, and
// acknowledges each once it is printed.

#include "protocol/local/LocalProtocol.h"
#include "service/CommandLine.h"
#include "service/LocalClient.h"

#include "protocol/OemDecoder.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace {

using Clock = LocalClient::Clock;

constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLastRetry = std::chrono::milliseconds(5000);
constexpr auto kReplyTime = std::chrono::milliseconds(5000);

const char* const kHelp =
    "Usage: vorelin-recv [--json] [--once] [--socket PATH]\n"
    "\n"
    "Prints the LAN messages that vorelind received for you: first those waiting, then each\n"
    "new one as it arrives. Each printed message is acknowledged, and the service forgets it.\n"
    "\n"
    "  --json          one JSON object per line, the service's \"message\" line:\n"
    "                  id, from, machine, address, called, to, received, text\n"
    "  --once          print what is waiting and exit\n"
    "  --socket PATH   the service's socket (default /run/vorelin/inbox.socket)\n"
    "  -h, --help      show this help\n"
    "  -V, --version   show the version\n"
    "\n"
    "Without --once it keeps running, and reconnects when the service restarts.\n"
    "Exit status: 0 done, 1 the service could not be reached (--once), 2 usage error.\n";

namespace Wire = LocalProtocol;

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

void print(const Wire::Message& m, bool json)
{
    if (json) {
        // Written anew, not passed through: what reaches the terminal is escaped by us.
        std::fputs(Wire::encode(m).c_str(), stdout);
    } else {
        const std::string& to = m.to.empty() ? m.called : m.to;
        std::printf("Message from %s to %s on %s\n(machine %s, address %s)\n%s\n\n",
                    forTerminal(m.from).c_str(), forTerminal(to).c_str(),
                    forTerminal(m.received).c_str(), forTerminal(m.machine).c_str(),
                    m.address.empty() ? "local hand-in" : forTerminal(m.address).c_str(),
                    forTerminal(m.text).c_str());
    }
    std::fflush(stdout);
}

// Name-service hook: where the user's alias (or the computer name) stands on the network, on
// stderr, so that the user learns why nobody reaches them by name.
void tellName(const Wire::NameUpdate& update)
{
    using enum Wire::NameProblem;
    const auto problem = Wire::nameProblem(update);
    if (problem != None)
        std::fprintf(stderr,
                     problem == AliasTooLong
                         ? "vorelin-recv: your login %s is longer than 15 bytes: no message name "
                           "for it; messages to the computer name still arrive\n"
                     : problem == AliasUnavailable
                         ? "vorelin-recv: the name service is off (another program holds UDP "
                           "137): nobody can reach you as %s\n"
                         : "vorelin-recv: another computer holds the name %s: messages to it go "
                           "there\n",
                     forTerminal(update.name).c_str());
}

// Prints and acknowledges one "message" line; false when the line is not one.
bool handle(LocalClient& client, const Wire::Line& line, bool json)
{
    if (const auto* update = std::get_if<Wire::NameUpdate>(&line))
        tellName(*update);
    const auto* message = std::get_if<Wire::Message>(&line);
    if (!message)
        return false;
    print(*message, json);
    client.sendLine(Wire::encode(Wire::Ack{message->id}));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    bool once = false;
    std::string socketPath = LocalClient::kDefaultSocket;
    static constexpr CommandLine::Option kOptions[] = {
        {"json", false}, {"once", false}, {"socket", true}};
    std::string error;
    const auto outcome = CommandLine::parse(
        argc, argv, kOptions,
        [&](std::string_view name, std::string_view value, std::string&) {
            json = json || name == "json";
            once = once || name == "once";
            if (name == "socket")
                socketPath = value;
            return true;
        },
        error);
    if (const auto status = CommandLine::settle(outcome, "vorelin-recv", kHelp, error))
        return *status;

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
            if (!std::exchange(toldWaiting, true))
                std::fprintf(stderr, "vorelin-recv: waiting for the service (%s)\n", error.c_str());
            std::this_thread::sleep_for(retry);
            retry = std::min(retry * 2, kLastRetry);
            continue;
        }
        Wire::Line first;
        // A service that says nothing is tried again: connect starts afresh.
        if (client.read(first, Clock::now() + kReplyTime) != LocalClient::Read::Line) {
            if (once)
                return 1;
            continue;
        }
        const auto* hello = std::get_if<Wire::Hello>(&first);
        if (!hello) {
            std::fprintf(stderr, "vorelin-recv: the socket does not speak vorelind's protocol\n");
            return 1;
        }
        retry = kFirstRetry;
        toldWaiting = false;
        tellName({true, hello->computer, hello->computerState});
        tellName({false, hello->alias, hello->aliasState});
        Wire::Line line;
        if (once) {
            // Only messages count against what the hello said is waiting.
            for (auto waiting = hello->waiting; waiting > 0; waiting -= handle(client, line, json))
                if (client.read(line, Clock::now() + kReplyTime) != LocalClient::Read::Line)
                    return 1;
            client.finish(kReplyTime);
            return 0;
        }
        while (client.read(line, std::nullopt) == LocalClient::Read::Line)
            handle(client, line, json);
        std::fprintf(stderr, "vorelin-recv: the service went away; reconnecting\n");
    }
}
