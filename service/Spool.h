#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The messages that arrived and are not yet acknowledged by a local client, one file each in
// DIR/spool. A file is written whole under a temporary name, synced, renamed into place and
// the folder synced, so that a stored message survives a crash and a half-written one never
// counts. Ids sort in arrival order.
//
// A file's name holds its id and its recipient ("<id>-<user in hex>.msg"), so that start-up
// lists the folder and reads no message: texts are read as they are handed out. Files of the
// older form "<id>.msg" are read once at start and renamed.
class Spool
{
public:
    Spool(std::string stateDir, std::size_t maxMessages, std::size_t maxBytes);

    // Makes the folder, drops leftover temporary files and indexes what is waiting. False with
    // a reason when the folder cannot be used.
    bool open(std::string& error);

    // True when one more message of this size would pass a cap.
    bool full(std::size_t bytes) const;

    struct Staged
    {
        std::string id;
        std::size_t size = 0;
        std::string user;
    };
    // Messages written under temporary names, to be made durable together: sync the files
    // (one of them: fsync; several: one syncfs), rename each into place, unlink the removed
    // messages, sync the folder.
    struct Batch
    {
        std::string dir;
        std::vector<Staged> entries;
        std::vector<std::string> removals; // file names of acknowledged messages
        std::vector<bool> stored;          // after sync(): per entry
        std::string error;

        bool empty() const { return entries.empty() && removals.empty(); }
        // Only system calls on the batch's own files: safe on another thread.
        void sync();
    };

    // Writes content (the message for user; empty: every user's) under a temporary name and
    // returns its id; it goes into into, or else into the spool's own batch (takeMessages()).
    // Nothing is durable or stored before the batch is synced and settled, though it counts
    // against the caps at once.
    std::optional<std::string> stage(const std::string& content, const std::string& user,
                                     std::string& error, Batch* into = nullptr);
    Batch newBatch() const { return Batch{m_dir, {}, {}, {}, {}}; }
    // The staged messages alone; the removals stay staged.
    Batch takeMessages();
    // At most count of the staged removals, oldest first, alone.
    Batch takeRemovals(std::size_t count);
    bool hasStaged() const { return !m_staged.empty(); }
    // Only removals staged: nobody waits for them, so they may gather into a larger batch.
    bool onlyRemovalsStaged() const { return m_staged.entries.empty(); }
    std::size_t stagedRemovals() const { return m_staged.removals.size(); }
    // Books what a synced batch stored; removes what it did not.
    void settle(const Batch& batch);
    // Forgets a message at once; its file goes with the next batch. False when it is not in
    // the spool.
    bool remove(const std::string& id);

    // The stored message after id in arrival order ("" for the first), with its user.
    struct Next
    {
        std::string id;
        const std::string* user;
    };
    std::optional<Next> next(const std::string& after) const;
    // The recipient of a stored message; nullptr when it is not stored.
    const std::string* userOf(const std::string& id) const;
    // A stored message's content, read now; nullopt when it cannot be read.
    std::optional<std::string> read(const std::string& id) const;
    std::size_t countFor(const std::string& user) const;

    std::size_t count() const { return m_index.size(); }

private:
    struct Stored
    {
        std::uint32_t size;
        std::uint32_t user; // into m_users
    };

    std::uint32_t intern(const std::string& user);
    void index(std::uint64_t id, std::size_t size, const std::string& user);
    std::string nextId();

    std::string m_dir;
    std::size_t m_maxMessages;
    std::size_t m_maxBytes;
    // About 64 bytes a waiting message: the id as a number, size and an interned user.
    std::map<std::uint64_t, Stored> m_index;
    std::vector<std::string> m_users;
    std::unordered_map<std::string, std::uint32_t> m_userIds;
    Batch m_staged;
    std::size_t m_bytes = 0;
    std::size_t m_pendingCount = 0; // staged in any batch, not yet settled
    std::size_t m_pendingBytes = 0;
    std::uint64_t m_lastStamp = 0;
};
