#pragma once

#include "messaging/NetMessageRequest.h"

#include <QString>
#include <cstdint>
#include <optional>

class BusyPointer;
class Messenger;
class StatusLine;

// Sends one request through the platform's messenger and reports the outcome on the status
// line, which clears itself after kStatusClearMs.
//
// The platform call runs on a thread of its own while the caller waits in an event loop, so
// the windows keep painting and answering the window manager. Keys and clicks made during the
// wait are dropped, not deferred: deferred ones would replay as further sends afterwards.
class MessageSender
{
public:
    static constexpr int kStatusClearMs = 1200;

    MessageSender(Messenger& messenger, BusyPointer& pointer, StatusLine& status,
                  int statusClearMs = kStatusClearMs);

    // Returns the status text shown, or an empty string when the message was empty and
    // nothing was sent or a send was already running. Converts the request's fields in place.
    QString SendNetMessage(NetMessageRequest& request);

    // True while a platform call is in flight.
    bool sending() const { return m_sending; }

    // The code of the last result described, for callers that report it beside the text.
    std::optional<std::int32_t> lastCode() const { return m_lastCode; }

    // Shows the text for code and arms the clear timer. Every code gets a text.
    QString DescribeSendResult(const std::int32_t& code);

    static QString statusText(std::int32_t code);

private:
    std::int32_t callMessenger(const NetMessageRequest& request, const QByteArray& buffer);

    Messenger& m_messenger;
    BusyPointer& m_pointer;
    StatusLine& m_status;
    int m_statusClearMs;
    bool m_sending = false;
    std::optional<std::int32_t> m_lastCode;
};
