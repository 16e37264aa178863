// vorelind: the messenger service. Receives messages on the NetBIOS session service, keeps
// them in a durable spool and hands them to local clients over a Unix socket.

#include "service/CommandLine.h"
#include "service/Daemon.h"
#include "service/Inbox.h"
#include "service/NameTable.h"
#include "service/Reception.h"
#include "service/Settings.h"
#include "service/Spool.h"
#include "service/WorkgroupReception.h"
#include "service/names/LoginWatch.h"
#include "service/names/NameService.h"

#include "platform/files/DurableFile.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/network/LinuxNetworkAdapters.h"
#include "protocol/NetworkConfig.h"
#include "protocol/OemDecoder.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kDefaultConfig = "/etc/vorelin/vorelind.conf";
constexpr const char* kDefaultStateDir = "/var/lib/vorelin";

// Whether stderr is the journal, which takes a priority prefix per line.
const bool g_journal = [] {
    struct stat stream = {};
    return ::fstat(STDERR_FILENO, &stream) == 0 &&
           Log::isJournal(std::getenv("JOURNAL_STREAM"), stream.st_dev, stream.st_ino);
}();

// One write per line, unbuffered: a line is never split or held back, and costs one call.
const Log logLine{[](Log::Priority priority, const std::string& line) {
    DurableFile::writeAll(STDERR_FILENO, Log::format(priority, line, g_journal));
}};

// A fault that keeps the service from running.
int fail(const std::string& what)
{
    logLine.err("vorelind: " + what);
    return 1;
}

// A single-byte OEM code page as a table, from iconv; CP850 is built in.
std::optional<OemDecoder> decoderFor(int codePage, std::string& error)
{
    if (codePage == 850)
        return OemDecoder();
    const std::string name = "CP" + std::to_string(codePage);
    const iconv_t converter = ::iconv_open("UTF-32LE", name.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        error = "code page " + name + " is not known to iconv";
        return std::nullopt;
    }
    OemDecoder::Table table{};
    bool singleByte = true;
    for (int byte = 0; byte < 256; ++byte) {
        char in = static_cast<char>(byte);
        char32_t out[2] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
        // A lead byte of a double-byte code page, or a hole: shown as U+FFFD.
        const bool one =
            ::iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) != std::size_t(-1) &&
            outLeft == sizeof out[0];
        singleByte = singleByte && (one || errno != EINVAL);
        table[std::size_t(byte)] = one ? out[0] : 0xFFFD;
    }
    ::iconv_close(converter);
    if (!singleByte) {
        error = name + " is a multi-byte code page; only single-byte OEM code pages are supported";
        return std::nullopt;
    }
    return OemDecoder(table);
}

// fd once every step made it listen; else -1 with the reason, and fd closed.
int listening(int fd, bool listens, const std::string& where, std::string& error)
{
    if (listens)
        return fd;
    error = "cannot listen on " + where + ": " + std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
    return -1;
}

int listenTcp(const std::string& address, std::uint16_t port, std::string& error)
{
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        error = "--bind takes a dotted IPv4 address";
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool listens = fd >= 0 &&
                         ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                         ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                         ::listen(fd, 128) == 0;
    return listening(fd, listens, address + ":" + std::to_string(port), error);
}

int listenUnix(const std::string& path, std::string& error)
{
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (path.size() >= sizeof where.sun_path) {
        error = "socket path too long: " + path;
        return -1;
    }
    std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str()); // a socket left by an earlier run
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool listens = fd >= 0 &&
                         ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
                         ::chmod(path.c_str(), 0666) == 0 && ::listen(fd, 64) == 0;
    return listening(fd, listens, path, error);
}

// The sockets systemd passed, by their FileDescriptorName=. inboxExpected is false where the
// local socket is ours to make (direct mode).
bool passedSockets(Daemon::Listeners& listeners, int& names, int& datagram,
                   bool inboxExpected = true)
{
    char** given = nullptr;
    const int count = ::sd_listen_fds_with_names(1, &given);
    for (int i = 0; i < std::max(count, 0); ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        const std::string name = given && given[i] ? given[i] : "";
        if (given)
            std::free(given[i]);
        if (name == "inbox" && ::sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) > 0) {
            listeners.inbox = fd;
        } else if (name == "session" && ::sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) > 0) {
            listeners.session = fd;
        } else if (name == "names" && ::sd_is_socket(fd, AF_INET, SOCK_DGRAM, -1) > 0) {
            names = fd;
        } else if (name == "datagram" && ::sd_is_socket(fd, AF_INET, SOCK_DGRAM, -1) > 0) {
            datagram = fd;
        } else {
            logLine.warning("ignoring a passed socket named '" + name + "'");
        }
    }
    std::free(given);
    if (listeners.session < 0)
        logLine.warning(
            "session service off: systemd passed no 'session' socket (TCP 139 may be held "
            "by another program such as smbd, so vorelind-session.socket failed); messages "
            "arrive only through vorelin-deliver");
    if (names < 0)
        logLine.warning(
            "name service off: systemd passed no 'names' socket (UDP 137 may be held by "
            "nmbd, so vorelind-names.socket failed)");
    if (listeners.inbox < 0 && inboxExpected)
        logLine.warning(
            "local delivery off: systemd passed no 'inbox' socket; messages stay in the "
            "spool until it is back");
    return listeners.session >= 0 || listeners.inbox >= 0;
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    // The installed service reads the system's file, unless given another or in direct mode.
    bool skipSystemFile = false;
    for (int i = 1; i < argc; ++i)
        for (const char* option : {"--bind", "--session-port", "--runtime-dir", "--config"})
            skipSystemFile = skipSystemFile || std::string_view(argv[i]).starts_with(option);
    std::string error;
    if (!skipSystemFile && ::access(kDefaultConfig, F_OK) == 0 &&
        !SettingsParser::readFile(settings, kDefaultConfig, error))
        return fail(error);
    if (const auto status =
            CommandLine::settle(SettingsParser::parseCommandLine(settings, argc, argv, error),
                                "vorelind", SettingsParser::kUsage.c_str(), error))
        return *status;

    // A bad network file costs the WINS side only; the service runs on broadcast.
    const auto network = NetworkConfigParser::load();
    if (network.error)
        logLine.warning("vorelind: " + *network.error);

    auto decoder = decoderFor(settings.codePage, error);
    if (!decoder)
        return fail(error);

    Daemon::Listeners listeners;
    bool ownNameSocket = false;
    int nameSocket = -1;
    int datagramSocket = -1;
    if (settings.directMode()) {
        // Ports 139 and 137 may come from a privileged launcher (systemd-socket-activate under
        // sudo) while this runs as the user; what was not passed is opened here.
        if (::sd_listen_fds(0) > 0)
            passedSockets(listeners, nameSocket, datagramSocket, false);
        if ((listeners.session < 0 && (settings.bind.empty() || settings.sessionPort == 0)) ||
            settings.runtimeDir.empty() || settings.stateDir.empty()) {
            std::fprintf(stderr, "vorelind: direct mode needs --bind, --session-port, "
                                 "--state-dir and --runtime-dir\n");
            return 2;
        }
        if (listeners.session < 0)
            listeners.session = listenTcp(settings.bind, settings.sessionPort, error);
        if (listeners.session >= 0)
            listeners.inbox = listenUnix(settings.runtimeDir + "/inbox.socket", error);
        if (listeners.session < 0 || listeners.inbox < 0)
            return fail(error);
        if (datagramSocket < 0 && settings.datagramPort != 0)
            datagramSocket = WorkgroupReception::openSocket(settings.datagramPort, logLine);
        ownNameSocket = nameSocket < 0 && settings.namePort != 0;
        if (ownNameSocket)
            nameSocket = NameService::openSocket(settings.namePort, logLine);
    } else {
        if (settings.stateDir.empty()) {
            const char* state = std::getenv("STATE_DIRECTORY");
            settings.stateDir = state && *state ? state : kDefaultStateDir;
        }
        if (!passedSockets(listeners, nameSocket, datagramSocket))
            return fail("no sockets: start it through its socket units, or in direct mode with "
                        "--bind");
    }

    if (settings.computerName.empty()) {
        char buffer[64] = {};
        std::uint32_t size = sizeof buffer;
        if (LinuxComputerName().GetComputerNameA(buffer, size))
            settings.computerName = buffer;
    }
    LinuxNetworkAdapters interfaces;
    // This machine's addresses as text, each one a called name that means the computer.
    NameTable names(settings.computerName, [&interfaces] {
        std::vector<std::string> out;
        for (const Ipv4Interface& interface :
             interfaces.GetIpv4Interfaces().value_or(std::vector<Ipv4Interface>{}))
            out.push_back(NetworkConfigParser::dotted(interface.address));
        return out;
    });

    const passwd* account = ::getpwnam(settings.messageCommandAccount.c_str());
    const uid_t handInUid = account ? account->pw_uid : 0;
    if (!account)
        logLine.warning("hand-ins: no account '" + settings.messageCommandAccount +
                        "'; only root may hand messages in");

    Spool spool(settings.stateDir, settings.spoolMaxMessages, settings.spoolMaxBytes);
    if (!spool.open(error))
        return fail(error);
    Inbox inbox(names.computerName(), spool, logLine);
    Reception reception(settings, spool, inbox, logLine);
    inbox.setHandInSink(&reception);

    Daemon daemon(settings, listeners, names, reception, inbox, *decoder, handInUid, logLine);
    // H-node: the names also go to the WINS servers. nmbd, when it holds the port, registers
    // the computer name itself, and this service holds none then.
    NameService nameService(nameSocket,
                            {.winsServers = network.config.nameServers(),
                             .winsRefreshInterval = settings.winsRefreshInterval},
                            {settings.nameInterfaces,
                             {settings.aliasGrace, 2 * settings.aliasGrace},
                             settings.nameWatchInterval,
                             ownNameSocket},
                            names, inbox, interfaces, logLine);
    inbox.setPresence(&nameService);
    daemon.addSource(&nameService);
    std::optional<WorkgroupReception> workgroupReception;
    if (datagramSocket >= 0 && network.config.workgroupMessages) {
        workgroupReception.emplace(
            datagramSocket,
            WorkgroupReception::Options{network.config.workgroup, names.computerName()}, reception,
            *decoder, logLine);
        daemon.addSource(&*workgroupReception);
    } else if (datagramSocket >= 0) {
        ::close(datagramSocket);
        logLine.notice("workgroup messages off: workgroup-messages = no");
    }
    nameService.start();
    std::unique_ptr<LoginWatch> logins;
    if (settings.loginAliases && nameSocket >= 0)
        logins = LoginWatch::open(
            [&nameService](const std::set<std::string>& users) { nameService.setLoggedIn(users); },
            logLine);
    if (logins) {
        daemon.addSource(logins.get());
        logins->refresh();
    }
    logLine.notice("listening as " + names.computerName() + "<03> in workgroup " +
                   network.config.workgroup + "; " + std::to_string(inbox.waitingCount()) +
                   " message(s) waiting in " + settings.stateDir);
    ::sd_notify(0, "READY=1");
    if (!daemon.run())
        return fail(std::string("event loop failed: ") + std::strerror(errno));
    ::sd_notify(0, "STOPPING=1");
    nameService.shutdown();
    if (settings.directMode())
        ::unlink((settings.runtimeDir + "/inbox.socket").c_str());
    return 0;
}
