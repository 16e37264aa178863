#pragma once

#include "messaging/NetMessageRequest.h"

#include <QString>
#include <cstdint>

class BusyPointer;
class Messenger;
class StatusLine;

// Sends one request through the platform's messenger and reports the outcome on the status
// line, which clears itself after kStatusClearMs.
class MessageSender
{
public:
    static constexpr int kStatusClearMs = 1200;

    MessageSender(Messenger& messenger, BusyPointer& pointer, StatusLine& status);

    // Returns the status text shown, or an empty string when the message was empty and
    // nothing was sent. Converts the request's fields in place.
    QString SendNetMessage(NetMessageRequest& request);

    // Shows the text for code and arms the clear timer. Every code gets a text.
    QString DescribeSendResult(const std::int32_t& code);

    static QString statusText(std::int32_t code);

private:
    Messenger& m_messenger;
    BusyPointer& m_pointer;
    StatusLine& m_status;
};
