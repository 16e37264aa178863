#pragma once

#include "service/Inbox.h"
#include "service/Log.h"
#include "service/MessageSink.h"
#include "service/Settings.h"
#include "service/Spool.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// What happens to a complete message: the blocked lists, the rate per source address and the
// spool's room decide; an accepted message is stored durably, then offered to local clients.
// One log line per message, never its text.
class Reception final : public MessageSink
{
public:
    using Clock = std::chrono::steady_clock;
    using Log = ::Log;

    Reception(const Settings& settings, Spool& spool, Inbox& inbox, Log log,
              std::function<Clock::time_point()> now = &Clock::now);

    Verdict admit(const ReceivedMessage& header) override;
    Verdict deliver(const ReceivedMessage& message) override;
    Verdict deliverLater(const ReceivedMessage& message, std::string& ticket) override;
    void refused(const ReceivedMessage& message, Verdict why) override;

    // The Pending messages and the acknowledged removals on their way to disk, as one spool
    // batch: its sync() may run on another thread; land() then books, logs and offers its
    // messages, and gives each message's verdict under the ticket deliverLater() gave it.
    bool hasPending() const { return m_spool.hasStaged(); }
    // Pending, but only acknowledged removals: nobody waits for their sync.
    bool onlyRemovalsPending() const { return m_spool.onlyRemovalsStaged(); }
    std::size_t pendingRemovals() const { return m_spool.stagedRemovals(); }
    Spool::Batch takeMessages() { return m_spool.takeMessages(); }
    Spool::Batch takeRemovals(std::size_t count) { return m_spool.takeRemovals(count); }
    std::vector<std::pair<std::string, Verdict>> land(const Spool::Batch& batch);

private:
    struct Rate
    {
        std::deque<Clock::time_point> accepted;
        Clock::time_point lastLogged{};
        std::size_t unlogged = 0;
    };

    // The checks and the record; Pending once written to into (or the spool's batch).
    Verdict stage(const ReceivedMessage& message, Spool::Batch* into, std::string& id);
    // Blocked, over the rate or no room for bytes more: logged, and the verdict; else Accepted.
    Verdict refusal(const ReceivedMessage& message, Clock::time_point now, std::size_t bytes);
    bool blocked(const ReceivedMessage& message) const;
    bool overRate(const std::string& address, Clock::time_point now);
    void logLine(const ReceivedMessage& message, Verdict verdict, const std::string& extra = {});

    const Settings& m_settings;
    Spool& m_spool;
    Inbox& m_inbox;
    Log m_log;
    std::function<Clock::time_point()> m_now;
    std::map<std::string, Rate> m_rates;
    // Staged messages by spool id, which is their ticket, until their batch lands.
    std::unordered_map<std::string, ReceivedMessage> m_staged;
};
