#pragma once

#include "Messenger.h"

// Stands in where no messenger transport exists: every send fails with the general network
// error, so nothing is ever reported as sent that was not.
class UnavailableMessenger final : public Messenger
{
public:
    static constexpr std::int32_t kNetworkError = 2136;

    std::int32_t NetMessageBufferSend(const char16_t*, const char16_t*, const char16_t*,
                                      const std::uint8_t*, std::uint32_t) override
    {
        return kNetworkError;
    }
};
