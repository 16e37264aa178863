#include "platform/files/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

namespace DurableFile {

bool writeAll(int fd, std::string_view content)
{
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        content.remove_prefix(std::size_t(n));
    }
    return true;
}

bool sync(const std::string& path, bool folder)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

bool write(const std::string& path, std::string_view content, mode_t mode)
{
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // replace() syncs it.
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, content);
    if (::close(fd) != 0 || !written) {
        ::unlink(temp.c_str());
        return false;
    }
    return replace(temp, path);
}

bool replace(const std::string& written, const std::string& path)
{
    if (!sync(written) || ::rename(written.c_str(), path.c_str()) != 0) {
        ::unlink(written.c_str());
        return false;
    }
    return sync(folderOf(path), true);
}

} // namespace DurableFile
