#include "service/Reception.h"

#include "protocol/local/LocalProtocol.h"

#include "protocol/OemDecoder.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

constexpr std::chrono::minutes kRateWindow{1};

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// Names come from the network. In the log they are one field each: ASCII space, backslash and
// controls as \x escapes; other controls, bidi and invisible format characters, and invalid
// UTF-8 as U+FFFD; at most 64 characters.
std::string printable(std::string_view text)
{
    std::string out;
    std::size_t at = 0;
    for (int count = 0; count < 64 && at < text.size(); ++count) {
        const char32_t c = Utf8::next(text, at);
        if (c >= 0x21 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x80) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(c));
            out += escaped;
        } else {
            Utf8::append(out, Utf8::isControl(c) || Utf8::isHiddenFormat(c) ? char32_t(0xFFFD) : c);
        }
    }
    return out.empty() ? "-" : out;
}

// "2026-12-07T14:07:27+01:00": local time with its UTC offset.
std::string timestamp(std::time_t when)
{
    std::tm local{};
    ::localtime_r(&when, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string out = text;
    // strftime writes +0100; ISO 8601's extended form wants +01:00.
    if (out.size() >= 5)
        out.insert(out.size() - 2, ":");
    return out;
}

} // namespace

Reception::Reception(const Settings& settings, Spool& spool, Inbox& inbox, Log log,
                     std::function<Clock::time_point()> now)
    : m_settings(settings), m_spool(spool), m_inbox(inbox), m_log(std::move(log)),
      m_now(std::move(now))
{}

bool Reception::blocked(const ReceivedMessage& message) const
{
    for (const auto& sender : m_settings.blockedSenders) {
        if (sameIgnoringCase(sender, message.from))
            return true;
    }
    return !message.address.empty() &&
           std::ranges::find(m_settings.blockedAddresses, message.address) !=
               m_settings.blockedAddresses.end();
}

bool Reception::overRate(const std::string& address, Clock::time_point now)
{
    if (m_settings.messagesPerMinute == 0 || address.empty())
        return false;
    // Forget addresses that have been quiet for a window, so the map stays small.
    std::erase_if(m_rates, [&](const auto& entry) {
        return entry.first != address &&
               (entry.second.accepted.empty() ||
                entry.second.accepted.back() + kRateWindow < now) &&
               entry.second.lastLogged + kRateWindow < now;
    });
    Rate& rate = m_rates[address];
    while (!rate.accepted.empty() && rate.accepted.front() + kRateWindow <= now)
        rate.accepted.pop_front();
    return rate.accepted.size() >= m_settings.messagesPerMinute;
}

Verdict Reception::refusal(const ReceivedMessage& message, Clock::time_point now, std::size_t bytes)
{
    const Verdict verdict = blocked(message)                 ? Verdict::Blocked
                            : overRate(message.address, now) ? Verdict::RateLimited
                            : m_spool.full(bytes)            ? Verdict::SpoolFull
                                                             : Verdict::Accepted;
    if (verdict != Verdict::Accepted)
        refused(message, verdict);
    return verdict;
}

Verdict Reception::admit(const ReceivedMessage& header)
{
    return refusal(header, m_now(), 0);
}

Verdict Reception::deliver(const ReceivedMessage& message)
{
    // A batch of its own, made durable now; sessions' messages are not held up by it.
    Spool::Batch own = m_spool.newBatch();
    std::string id;
    const Verdict verdict = stage(message, &own, id);
    if (verdict != Verdict::Pending)
        return verdict;
    own.sync();
    return land(own).at(0).second;
}

Verdict Reception::deliverLater(const ReceivedMessage& message, std::string& ticket)
{
    return stage(message, nullptr, ticket);
}

Verdict Reception::stage(const ReceivedMessage& message, Spool::Batch* into, std::string& id)
{
    const Clock::time_point now = m_now();
    // Kept as it is handed out: written once, whatever the number of clients.
    const std::string content = LocalProtocol::storedRecord(
        {"", message.from, message.machine, message.address, message.called, message.to,
         timestamp(std::time(nullptr)), message.text});
    if (const Verdict verdict = refusal(message, now, content.size()); verdict != Verdict::Accepted)
        return verdict;
    std::string error;
    const auto staged = m_spool.stage(content, message.user, error, into);
    if (!staged) {
        logLine(message, Verdict::Failed, "error=" + printable(error));
        return Verdict::Failed;
    }
    id = *staged;
    m_staged.emplace(id, message);
    // Counted now, so that a batch cannot pass the rate.
    if (m_settings.messagesPerMinute != 0 && !message.address.empty())
        m_rates[message.address].accepted.push_back(now);
    return Verdict::Pending;
}

std::vector<std::pair<std::string, Verdict>> Reception::land(const Spool::Batch& batch)
{
    m_spool.settle(batch);
    std::vector<std::pair<std::string, Verdict>> verdicts;
    for (std::size_t i = 0; i < batch.entries.size(); ++i) {
        const std::string& id = batch.entries[i].id;
        const auto found = m_staged.find(id);
        if (found == m_staged.end())
            continue;
        const ReceivedMessage message = std::move(found->second);
        m_staged.erase(found);
        const bool stored = i < batch.stored.size() && batch.stored[i];
        logLine(message, stored ? Verdict::Accepted : Verdict::Failed,
                stored ? "id=" + id : "error=" + printable(batch.error));
        if (stored)
            m_inbox.announce(id);
        verdicts.emplace_back(id, stored ? Verdict::Accepted : Verdict::Failed);
    }
    return verdicts;
}

void Reception::refused(const ReceivedMessage& message, Verdict why)
{
    if (why == Verdict::RateLimited) {
        // One line a minute per address, however hard it knocks.
        Rate& rate = m_rates[message.address];
        const Clock::time_point now = m_now();
        if (rate.lastLogged != Clock::time_point{} && now < rate.lastLogged + kRateWindow) {
            ++rate.unlogged;
            return;
        }
        const std::size_t more = std::exchange(rate.unlogged, 0);
        rate.lastLogged = now;
        logLine(message, why, more == 0 ? std::string() : "suppressed=" + std::to_string(more));
        return;
    }
    logLine(message, why);
}

void Reception::logLine(const ReceivedMessage& message, Verdict verdict, const std::string& extra)
{
    std::string line = "message from=" + printable(message.from) +
                       " machine=" + printable(message.machine) +
                       " address=" + printable(message.address) + " to=" + printable(message.to) +
                       " size=" + std::to_string(message.size) + " outcome=" + verdictName(verdict);
    if (!extra.empty())
        line += " " + extra;
    // Refusals the sender hears of are the sender's business; what is lost is the admin's.
    const auto priority = verdict == Verdict::Failed      ? Log::Priority::Err
                          : verdict == Verdict::SpoolFull ? Log::Priority::Warning
                          : verdict == Verdict::Accepted || verdict == Verdict::Pending
                              ? Log::Priority::Info
                              : Log::Priority::Notice;
    m_log.write(priority, line);
}
