#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The messages that arrived and are not yet acknowledged by a local client, one file each in
// DIR/spool. A file is written whole under a temporary name, synced, renamed into place and
// the folder synced, so that a stored message survives a crash and a half-written one never
// counts. Ids sort in arrival order.
class Spool
{
public:
    struct Entry
    {
        std::string id;
        std::string content;
    };

    Spool(std::string stateDir, std::size_t maxMessages, std::size_t maxBytes);

    // Makes the folder, drops leftover temporary files and returns what is waiting, oldest
    // first. False with a reason when the folder cannot be used.
    bool open(std::vector<Entry>& waiting, std::string& error);

    // True when one more message of this size would pass a cap.
    bool full(std::size_t bytes) const;
    // Writes content under a temporary name and returns its id; nothing is durable or counts
    // as stored before commit(), though it counts against the caps.
    std::optional<std::string> stage(const std::string& content, std::string& error);
    // Makes every staged message durable with one sync for all: sync the files, rename each
    // into place, sync the folder. Per staged message in order: stored or not.
    std::vector<bool> commit(std::string& error);
    // Forgets a message; false when it is not in the spool.
    bool remove(const std::string& id);

    std::size_t count() const { return m_sizes.size(); }
    std::string tempOf(const std::string& id) const;
    std::size_t bytes() const { return m_bytes; }

private:
    std::string pathOf(const std::string& id) const;
    std::string nextId();

    std::string m_dir;
    std::size_t m_maxMessages;
    std::size_t m_maxBytes;
    std::vector<std::pair<std::string, std::size_t>> m_sizes;
    std::vector<std::pair<std::string, std::size_t>> m_staged;
    std::size_t m_bytes = 0;
    std::uint64_t m_lastStamp = 0;
};
