#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Where this machine's IPv4 broadcasts go: the directed broadcast address of every up,
// non-loopback interface that has one.
class BroadcastAddresses
{
public:
    virtual ~BroadcastAddresses() = default;

    // Host byte order, each once. An empty list: interfaces are up but none can broadcast (a
    // point-to-point link). Nothing: no such interface is up, or the list could not be read.
    virtual std::optional<std::vector<std::uint32_t>> GetBroadcastAddresses() = 0;
};
