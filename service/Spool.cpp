#include "service/Spool.h"

#include "platform/files/DurableFile.h"
#include "protocol/local/Json.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kSuffix = ".msg";
constexpr const char* kTempPrefix = ".tmp-";
// A spool file larger than any message we write is not ours.
constexpr std::size_t kMaxFile = 256 * 1024;

bool isHex(std::string_view text)
{
    return std::ranges::all_of(
        text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isId(std::string_view name)
{
    return name.size() == 16 && isHex(name);
}

std::uint64_t idNumber(std::string_view id)
{
    return std::stoull(std::string(id), nullptr, 16);
}

std::string idText(std::uint64_t id)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
    return text;
}

std::string hex(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        out.push_back(digits[static_cast<unsigned char>(c) >> 4]);
        out.push_back(digits[static_cast<unsigned char>(c) & 15]);
    }
    return out;
}

std::optional<std::string> unhex(std::string_view text)
{
    if (text.size() % 2 != 0 || !isHex(text))
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2)
        out.push_back(char(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

// A whole message file, at most kMaxFile bytes; sizeHint (the indexed size) lets the usual
// case take one read. Non-blocking and without following links: what start-up indexed was a
// regular file, and nothing else may hang or redirect us since.
std::optional<std::string> readFile(const std::string& path, std::size_t sizeHint = 8192)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::string content(std::min(sizeHint, kMaxFile) + 1, '\0');
    std::size_t got = 0;
    while (true) {
        const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += std::size_t(n);
        if (got < content.size())
            break; // a short read of a regular file: its end
        if (content.size() > kMaxFile)
            break;
        content.resize(std::min(content.size() * 2, kMaxFile + 1));
    }
    ::close(fd);
    if (got > kMaxFile)
        return std::nullopt;
    content.resize(got);
    return content;
}

std::string fileName(const std::string& id, const std::string& user)
{
    return id + "-" + hex(user) + kSuffix;
}

std::string tempOf(const std::string& dir, const std::string& id)
{
    return dir + "/" + kTempPrefix + id;
}

} // namespace

Spool::Spool(std::string stateDir, std::size_t maxMessages, std::size_t maxBytes)
    : m_dir(std::move(stateDir) + "/spool"), m_maxMessages(maxMessages), m_maxBytes(maxBytes),
      m_staged(newBatch())
{}

std::uint32_t Spool::intern(const std::string& user)
{
    const auto [at, added] = m_userIds.try_emplace(user, std::uint32_t(m_users.size()));
    if (added)
        m_users.push_back(user);
    return at->second;
}

void Spool::index(std::uint64_t id, std::size_t size, const std::string& user)
{
    m_index[id] = Stored{std::uint32_t(size), intern(user)};
    m_bytes += size;
    m_lastStamp = std::max(m_lastStamp, id);
}

bool Spool::open(std::string& error)
{
    const auto fail = [&](const std::string& what) {
        error = what + ": " + std::strerror(errno);
        return false;
    };
    if (::mkdir(m_dir.c_str(), 0700) == 0) {
        // A new folder is durable only once its parent is synced too.
        const std::string parent = m_dir.substr(0, m_dir.rfind('/'));
        if (!DurableFile::sync(parent.empty() ? "/" : parent, true))
            return fail("cannot sync " + parent);
    } else if (errno != EEXIST) {
        return fail("cannot make " + m_dir);
    }
    DIR* dir = ::opendir(m_dir.c_str());
    if (!dir)
        return fail("cannot read " + m_dir);
    const std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, &::closedir);
    m_index.clear();
    m_bytes = 0;
    bool renamed = false;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.starts_with(kTempPrefix)) {
            // A save that a crash cut short: it was never acknowledged.
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
            continue;
        }
        if (name.size() < 16 + 4 || !name.ends_with(kSuffix) || !isId(name.substr(0, 16)))
            continue;
        // Regular files only, as they are: a FIFO or a link named like a message is not ours.
        struct stat info
        {};
        if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || std::size_t(info.st_size) > kMaxFile)
            continue;
        const std::string id = name.substr(0, 16);
        const std::string_view rest = std::string_view(name).substr(16, name.size() - 16 - 4);
        if (rest.starts_with("-")) {
            if (const auto user = unhex(rest.substr(1)))
                index(idNumber(id), std::size_t(info.st_size), *user);
            continue;
        }
        if (!rest.empty())
            continue;
        // The older form: the recipient is inside. Read once, renamed to the form that says it.
        const auto content = readFile(m_dir + "/" + name);
        const auto record = content ? Json::parse(*content) : std::nullopt;
        const std::string user =
            record ? record->string("user").value_or(std::string()) : std::string();
        if (::rename((m_dir + "/" + name).c_str(), (m_dir + "/" + fileName(id, user)).c_str()) ==
            0) {
            renamed = true;
            index(idNumber(id), std::size_t(info.st_size), user);
        }
    }
    return !renamed || DurableFile::sync(m_dir, true) || fail("cannot sync " + m_dir);
}

bool Spool::full(std::size_t bytes) const
{
    return m_index.size() + m_pendingCount + 1 > m_maxMessages ||
           m_bytes + m_pendingBytes + bytes > m_maxBytes;
}

std::string Spool::nextId()
{
    // Microseconds since the epoch, kept rising across restarts and clock steps back.
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    m_lastStamp = std::max<std::uint64_t>(m_lastStamp + 1, static_cast<std::uint64_t>(now));
    return idText(m_lastStamp);
}

std::optional<std::string> Spool::stage(const std::string& content, const std::string& user,
                                        std::string& error, Batch* into)
{
    const std::string id = nextId();
    const std::string temp = tempOf(m_dir, id);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    const bool written = DurableFile::writeAll(fd, content);
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
        error = std::strerror(savedErrno);
        ::unlink(temp.c_str());
        return std::nullopt;
    }
    (into ? *into : m_staged).entries.push_back(Staged{id, content.size(), user});
    ++m_pendingCount;
    m_pendingBytes += content.size();
    return id;
}

Spool::Batch Spool::takeRemovals(std::size_t count)
{
    Batch batch = newBatch();
    std::vector<std::string>& staged = m_staged.removals;
    const auto end = staged.begin() + std::ptrdiff_t(std::min(count, staged.size()));
    batch.removals.assign(std::make_move_iterator(staged.begin()), std::make_move_iterator(end));
    staged.erase(staged.begin(), end);
    return batch;
}

Spool::Batch Spool::takeMessages()
{
    Batch batch = newBatch();
    batch.entries = std::exchange(m_staged.entries, {});
    return batch;
}

void Spool::Batch::sync()
{
    stored.assign(entries.size(), false);
    if (empty())
        return;
    const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // One file: its own sync. Several: one sync of the file system holds them all.
    // (A sync per file measured 2.5 times slower for 8 parallel senders than one syncfs.)
    const bool synced =
        folder >= 0 && (entries.size() == 1 ? DurableFile::sync(tempOf(dir, entries[0].id))
                                            : entries.empty() || ::syncfs(folder) == 0);
    if (!synced)
        error = std::strerror(errno);
    const auto pathOf = [&](const Staged& entry) {
        return dir + "/" + fileName(entry.id, entry.user);
    };
    for (std::size_t i = 0; i < entries.size() && synced; ++i) {
        stored[i] = ::rename(tempOf(dir, entries[i].id).c_str(), pathOf(entries[i]).c_str()) == 0;
        if (!stored[i])
            error = std::strerror(errno);
    }
    // The same folder sync makes the removals durable: an acknowledged message stays gone.
    for (const std::string& name : removals)
        ::unlink((dir + "/" + name).c_str());
    if (folder < 0 || ::fsync(folder) != 0) {
        // Renamed, but not known to be durable: none counts.
        error = std::strerror(errno);
        stored.assign(stored.size(), false);
    }
    if (folder >= 0)
        ::close(folder);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!stored[i]) {
            ::unlink(tempOf(dir, entries[i].id).c_str());
            ::unlink(pathOf(entries[i]).c_str());
        }
    }
}

void Spool::settle(const Batch& batch)
{
    for (std::size_t i = 0; i < batch.entries.size(); ++i) {
        const Staged& entry = batch.entries[i];
        m_pendingCount -= 1;
        m_pendingBytes -= entry.size;
        if (i < batch.stored.size() && batch.stored[i])
            index(idNumber(entry.id), entry.size, entry.user);
    }
}

bool Spool::remove(const std::string& id)
{
    const std::string* user = userOf(id);
    if (!user)
        return false;
    m_staged.removals.push_back(fileName(id, *user));
    m_bytes -= m_index.at(idNumber(id)).size;
    m_index.erase(idNumber(id));
    return true;
}

std::optional<Spool::Next> Spool::next(const std::string& after) const
{
    const auto found = after.empty() ? m_index.begin() : m_index.upper_bound(idNumber(after));
    if (found == m_index.end())
        return std::nullopt;
    return Next{idText(found->first), &m_users[found->second.user]};
}

const std::string* Spool::userOf(const std::string& id) const
{
    if (!isId(id))
        return nullptr;
    const auto found = m_index.find(idNumber(id));
    return found == m_index.end() ? nullptr : &m_users[found->second.user];
}

std::optional<std::string> Spool::read(const std::string& id) const
{
    const std::string* user = userOf(id);
    if (!user)
        return std::nullopt;
    return readFile(m_dir + "/" + fileName(id, *user), m_index.at(idNumber(id)).size);
}

std::size_t Spool::countFor(const std::string& user) const
{
    const auto found = m_userIds.find(user);
    const std::uint32_t mine = found == m_userIds.end() ? std::uint32_t(-1) : found->second;
    const std::uint32_t everyone = m_userIds.count("") ? m_userIds.at("") : std::uint32_t(-1);
    return std::size_t(std::ranges::count_if(m_index, [&](const auto& entry) {
        return entry.second.user == mine || entry.second.user == everyone;
    }));
}
