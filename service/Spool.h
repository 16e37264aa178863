#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
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
    // Messages written under temporary names, to be made durable together: sync the files
    // (one of them: fsync; several: one syncfs), rename each into place, unlink the removed
    // messages, sync the folder.
    struct Batch
    {
        std::string dir;
        std::vector<std::pair<std::string, std::size_t>> entries; // id, size
        std::vector<std::string> removals;                        // ids acknowledged
        std::vector<bool> stored;                                 // after sync(): per entry
        std::string error;

        bool empty() const { return entries.empty() && removals.empty(); }
        // Only system calls on the batch's own files: safe on another thread.
        void sync();
    };

    // Writes content under a temporary name and returns its id; it goes into into, or else
    // into the spool's own batch (takeStaged()). Nothing is durable or stored before the
    // batch is synced and settled, though it counts against the caps at once.
    std::optional<std::string> stage(const std::string& content, std::string& error,
                                     Batch* into = nullptr);
    Batch newBatch() const { return Batch{m_dir, {}, {}, {}, {}}; }
    // The staged messages and the removals since the last call, as one batch.
    Batch takeStaged();
    bool hasStaged() const { return !m_staged.empty(); }
    // Books what a synced batch stored; removes what it did not.
    void settle(const Batch& batch);
    // Forgets a message at once; its file goes with the next batch. False when it is not in
    // the spool.
    bool remove(const std::string& id);

    std::size_t count() const { return m_sizes.size(); }
    std::size_t bytes() const { return m_bytes; }

private:
    static std::string pathOf(const std::string& dir, const std::string& id);
    static std::string tempOf(const std::string& dir, const std::string& id);
    std::string pathOf(const std::string& id) const { return pathOf(m_dir, id); }
    std::string nextId();

    std::string m_dir;
    std::size_t m_maxMessages;
    std::size_t m_maxBytes;
    std::unordered_map<std::string, std::size_t> m_sizes;
    Batch m_staged;
    std::size_t m_bytes = 0;
    std::size_t m_pendingCount = 0; // staged in any batch, not yet settled
    std::size_t m_pendingBytes = 0;
    std::uint64_t m_lastStamp = 0;
};
