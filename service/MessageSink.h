#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One message as it arrived, decoded to UTF-8.
struct ReceivedMessage
{
    std::string from;    // the sender name (OriginatorName)
    std::string machine; // the calling NetBIOS name, or what smbd passed as %m
    std::string address; // the source address; empty for a hand-in
    std::string called;  // the name the session was called to
    std::string to;      // DestinationName as sent
    std::string user;    // the local user it is for; empty: the computer's, every user's
    std::string text;
    std::size_t size = 0; // bytes as received
};

enum class Verdict
{
    Accepted,
    TooLong,
    Empty,
    Blocked,
    RateLimited,
    SpoolFull,
    Failed,
    TimedOut,
    Pending // written, not yet durable: the final verdict comes later
};

const char* verdictName(Verdict verdict);

// Where complete messages go: the policy (blocked, rate, spool room), the spool and the local
// clients. deliver() returns only once an accepted message is durable.
class MessageSink
{
public:
    virtual ~MessageSink() = default;

    // At the start of a message, before its text: Accepted, or why it would be refused now.
    virtual Verdict admit(const ReceivedMessage& header) = 0;
    virtual Verdict deliver(const ReceivedMessage& message) = 0;
    // As deliver(), but the sink may answer Pending and make the message durable later,
    // together with others that arrived meanwhile: one disk sync for a batch. The final
    // verdict then comes under ticket.
    virtual Verdict deliverLater(const ReceivedMessage& message, std::string& ticket)
    {
        (void)ticket;
        return deliver(message);
    }
    // A message the session refused itself (too long, empty, timed out): for the log.
    virtual void refused(const ReceivedMessage& message, Verdict why) = 0;
};
