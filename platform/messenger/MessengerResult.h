#pragma once

#include <cstdint>

// The codes NetMessageBufferSend returns, as the rest of the program knows them.
namespace MessengerResult {

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kNotSupported = 50;
constexpr std::int32_t kBadNetPath = 53;
constexpr std::int32_t kInvalidParameter = 87;
constexpr std::int32_t kInvalidName = 123;
constexpr std::int32_t kNetworkError = 2136;
constexpr std::int32_t kUseNotFound = 2250;
constexpr std::int32_t kNameNotFound = 2273;

} // namespace MessengerResult
