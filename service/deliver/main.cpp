// vorelin-deliver: hands one message to vorelind, for smbd's "message command" where smbd holds
// port 139: vorelin-deliver SENDER MACHINE FILE. smbd has already told the sender the message
// arrived and never sends it again, so FILE (smbd's temporary copy of the text) is removed only
// once the service has answered for the message; what the service cannot take yet is tried
// again for a while, and what finally fails is said on stderr, which lands in smbd's log.

#include "protocol/OemDecoder.h"
#include "protocol/local/LocalProtocol.h"
#include "service/CommandLine.h"
#include "service/LocalClient.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far more than any message holds; beyond it the file is not a message.
constexpr std::size_t kMaxFile = 64 * 1024;
constexpr milliseconds kReplyTime{5000};
constexpr milliseconds kRetryInterval{250};
constexpr milliseconds kRetryFor{10'000};

const char* const kHelp = "Usage: vorelin-deliver [--socket PATH] [--retry-interval MS] "
                          "[--retry-for MS] SENDER MACHINE FILE\n"
                          "Hands a message that smbd received to vorelind (smb.conf: message "
                          "command = vorelin-deliver %f %m %s). FILE is removed once the "
                          "service stored or refused the message.\n";

bool readFile(const char* path, std::string& text, std::string& error)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    std::FILE* in = fd < 0 ? nullptr : ::fdopen(fd, "r");
    if (!in) {
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    // One byte more than a message may have tells a longer file.
    text.resize(kMaxFile + 1);
    text.resize(std::fread(text.data(), 1, text.size(), in));
    std::fclose(in);
    if (text.size() > kMaxFile) {
        error = std::string(path) + ": longer than any message";
        return false;
    }
    return true;
}

enum class Outcome
{
    Delivered,
    Refused,  // for what the message is: the service has answered for it
    Failed,   // for who hands it in, or an exchange cut short: not tried again
    Deferred, // the service cannot take it now: tried again
};

// What a "refused" answer's reason makes of the message.
Outcome outcomeOf(std::string_view reason)
{
    if (reason == "refused-too-long" || reason == "refused-empty" || reason == "refused-blocked")
        return Outcome::Refused;
    return reason == "not allowed" || reason == "from, machine and text are needed"
               ? Outcome::Failed
               : Outcome::Deferred;
}

Outcome handIn(const std::string& socketPath, const std::string& request, std::string& why)
{
    LocalClient client;
    if (!client.connect(socketPath, why)) {
        why = "cannot reach vorelind: " + why;
        return Outcome::Deferred;
    }
    // A service that refuses the connection says why before it closes: read that too.
    client.sendLine(request);
    // The hello and any waiting messages come first; the answer is the first other line.
    const auto deadline = Clock::now() + kReplyTime;
    LocalProtocol::Line answer;
    while (true) {
        const auto read = client.read(answer, deadline);
        if (read != LocalClient::Read::Line) {
            // The service may have read the request: trying again could store it twice.
            why = read == LocalClient::Read::Timeout ? "no answer from the service"
                                                     : "the service closed the connection";
            return Outcome::Failed;
        }
        if (std::holds_alternative<LocalProtocol::Delivered>(answer))
            return Outcome::Delivered;
        const auto* refused = std::get_if<LocalProtocol::Refused>(&answer);
        const auto* error = std::get_if<LocalProtocol::Error>(&answer);
        if (refused || error) {
            const std::string& reason = refused ? refused->reason : error->reason;
            why = reason.empty() ? "no reason given" : reason;
            return refused ? outcomeOf(why) : Outcome::Failed;
        }
    }
}

bool parseMilliseconds(std::string_view text, milliseconds& out)
{
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 3'600'000)
        return false;
    out = milliseconds(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string socketPath = LocalClient::kDefaultSocket;
    auto retryInterval = kRetryInterval;
    auto retryFor = kRetryFor;
    static constexpr CommandLine::Option kOptions[] = {
        {"socket", true}, {"retry-interval", true}, {"retry-for", true}};
    std::vector<std::string> operands;
    std::string error;
    // SENDER MACHINE FILE come last and are never options: the sender's name is the network's.
    const auto outcome = CommandLine::parse(
        argc, argv, kOptions,
        [&](std::string_view name, std::string_view value, std::string& why) {
            if (name == "socket") {
                socketPath = value;
                return true;
            }
            why = "bad value '" + std::string(value) + "'";
            return parseMilliseconds(value, name == "retry-for" ? retryFor : retryInterval) &&
                   retryInterval.count() > 0;
        },
        error, &operands, 3);
    if (outcome == CommandLine::Outcome::Run && operands.size() != 3)
        error = "needs SENDER MACHINE FILE";
    if (const auto status = CommandLine::settle(outcome, "vorelin-deliver", kHelp, error))
        return *status;
    const char* sender = operands[0].c_str();
    const char* machine = operands[1].c_str();
    const char* file = operands[2].c_str();

    std::string text;
    if (!readFile(file, text, error)) {
        std::fprintf(stderr, "vorelin-deliver: cannot read the message from %s: %s\n", sender,
                     error.c_str());
        return 1;
    }
    std::string line = LocalProtocol::encode(LocalProtocol::Deliver{sender, machine, text});
    if (line.size() > LocalProtocol::kMaxLine) {
        // Only a text far over what the service takes escapes to that much; cut, it is refused
        // as too long all the same, and the service logs it.
        std::size_t at = 0;
        for (std::size_t points = 0;
             at < text.size() && points <= LocalProtocol::kMaxTextCharacters; ++points)
            Utf8::next(text, at);
        text.resize(at);
        line = LocalProtocol::encode(LocalProtocol::Deliver{sender, machine, text});
    }

    const auto giveUp = Clock::now() + retryFor;
    while (true) {
        const Outcome outcome = handIn(socketPath, line, error);
        if (outcome == Outcome::Delivered || outcome == Outcome::Refused) {
            ::unlink(file); // the service has answered for it
            if (outcome == Outcome::Refused)
                std::fprintf(stderr, "vorelin-deliver: message from %s refused: %s\n", sender,
                             error.c_str());
            return outcome == Outcome::Refused ? 1 : 0;
        }
        if (outcome == Outcome::Failed || Clock::now() + retryInterval >= giveUp)
            break;
        std::this_thread::sleep_for(retryInterval);
    }
    // smbd will not send it again: the text stays where an administrator can find it.
    std::fprintf(stderr,
                 "vorelin-deliver: message from %s not delivered (%s); its text is kept in %s\n",
                 sender, error.c_str(), file);
    return 1;
}
