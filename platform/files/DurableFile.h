#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

// A file replaced so that a crash or a power cut at any moment leaves either the old file or
// the new one, whole: written whole to a new file beside it, synced, renamed over it, and the
// folder synced so that the rename itself lasts.
namespace DurableFile {

// False on any failure, with the old file as it was.
bool write(const std::string& path, std::string_view content, mode_t mode = 0600);

// The same for a new file that something else wrote beside path (in the same folder).
bool replace(const std::string& written, const std::string& path);

// The steps, for files kept another way (the spool syncs a batch at once). False on an error,
// with errno saying which.
bool writeAll(int fd, std::string_view content);
bool sync(const std::string& path, bool folder = false);

} // namespace DurableFile
