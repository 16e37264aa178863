// vorelin-deliver: hands one message to vorelind, for smbd's "message command" where smbd holds
// port 139: vorelin-deliver SENDER MACHINE FILE. Reads and removes FILE (smbd's temporary copy
// of the text), and returns as soon as the service has stored the message or refused it.

#include "service/Json.h"
#include "service/LocalClient.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Far more than any message holds; beyond it the file is not a message.
constexpr std::size_t kMaxFile = 64 * 1024;
constexpr auto kReplyTime = std::chrono::milliseconds(5000);

const char* const kUsage = "Usage: vorelin-deliver [--socket PATH] SENDER MACHINE FILE\n";

bool readFile(const char* path, std::string& text, std::string& error)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    char chunk[8192];
    while (text.size() <= kMaxFile) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(chunk, std::size_t(n));
    }
    ::close(fd);
    if (text.size() > kMaxFile) {
        error = std::string(path) + ": longer than any message";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string socketPath = LocalClient::kDefaultSocket;
    int first = 1;
    if (argc > 2 && std::string_view(argv[1]) == "--socket") {
        socketPath = argv[2];
        first = 3;
    }
    if (argc > 1 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        std::printf("%sHands a message that smbd received to vorelind (smb.conf: message command = "
                    "vorelin-deliver %%f %%m %%s). FILE is removed.\n",
                    kUsage);
        return 0;
    }
    if (argc - first != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const char* sender = argv[first];
    const char* machine = argv[first + 1];
    const char* file = argv[first + 2];

    std::string text;
    std::string error;
    const bool read = readFile(file, text, error);
    ::unlink(file); // smbd leaves its temporary file to the command
    if (!read) {
        std::fprintf(stderr, "vorelin-deliver: %s\n", error.c_str());
        return 1;
    }

    LocalClient client;
    if (!client.connect(socketPath, error)) {
        std::fprintf(stderr, "vorelin-deliver: cannot reach vorelind: %s\n", error.c_str());
        return 1;
    }
    Json::ObjectWriter request;
    request.add("type", "deliver").add("from", sender).add("machine", machine).add("text", text);
    if (!client.sendLine(request.finish())) {
        std::fprintf(stderr, "vorelin-deliver: the service closed the connection\n");
        return 1;
    }
    // The hello and any waiting messages come first; the answer is the first other line.
    const auto deadline = std::chrono::steady_clock::now() + kReplyTime;
    std::string line;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || client.readLine(line, left) != LocalClient::Read::Line) {
            std::fprintf(stderr, "vorelin-deliver: no answer from the service\n");
            return 1;
        }
        const auto answer = Json::parse(line);
        const auto type = answer ? answer->string("type") : std::nullopt;
        if (type == "delivered")
            return 0;
        if (type == "refused" || type == "error") {
            std::fprintf(stderr, "vorelin-deliver: refused: %s\n",
                         answer->string("reason").value_or("no reason given").c_str());
            return 1;
        }
    }
}
