#include "service/Log.h"

#include <charconv>
#include <cstring>

std::string Log::format(Priority priority, const std::string& line, bool journal)
{
    // sd-daemon's prefix: the priority's number in angle brackets.
    std::string out = journal ? "<" + std::to_string(int(priority)) + ">" : "";
    out += line;
    out.push_back('\n');
    return out;
}

bool Log::isJournal(const char* journalStream, dev_t device, ino_t inode)
{
    if (journalStream == nullptr)
        return false;
    const char* end = journalStream + std::strlen(journalStream);
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    const auto first = std::from_chars(journalStream, end, dev);
    if (first.ec != std::errc{} || first.ptr == end || *first.ptr != ':')
        return false;
    const auto second = std::from_chars(first.ptr + 1, end, ino);
    return second.ec == std::errc{} && second.ptr == end && dev == device && ino == inode;
}
