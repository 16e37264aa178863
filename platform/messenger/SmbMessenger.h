#pragma once

#include "platform/messenger/Messenger.h"
#include "platform/messenger/NameResolver.h"
#include "platform/messenger/SessionClient.h"
#include "protocol/NetworkConfig.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

class BroadcastAddresses;

struct SmbMessengerOptions
{
    // Send to this IPv4 address (host byte order) without any name lookup.
    std::optional<std::uint32_t> address;
    std::uint16_t sessionPort = 139;
    NameResolverOptions resolver;
    SessionTimeouts timeouts;
    // One send, name lookup included, ends within this whatever the peers do; the steps'
    // own timeouts would add up to minutes.
    std::chrono::milliseconds sendLimit{20000};
    // UDP port of the datagram service, where workgroup messages go.
    std::uint16_t datagramPort = 138;
    // What a bare workgroup recipient stands for.
    std::string workgroup = "WORKGROUP";

    // The network-wide settings: the WINS servers and the workgroup.
    void apply(const NetworkConfig& network)
    {
        resolver.nameServers = network.nameServers();
        workgroup = network.workgroup;
    }
};

// NetMessageBufferSend for a system without a messenger service: finds the recipient with the
// NetBIOS name service, opens a NetBIOS session to its messenger name NAME<03> and sends the
// text with the SMB message commands, as the Windows messenger client did.
class SmbMessenger final : public Messenger
{
public:
    // localComputerName is this machine's name: the calling name, the default sender, and the
    // only server name that can carry out a send. interfaces tells where name queries are
    // broadcast; without it only sends to an address work.
    explicit SmbMessenger(const QString& localComputerName, SmbMessengerOptions options = {},
                          BroadcastAddresses* interfaces = nullptr);

    std::int32_t NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                      const char16_t* fromname, const std::uint8_t* buf,
                                      std::uint32_t buflen) override;

    // The most text a Windows receiver shows, in OEM bytes.
    static constexpr std::size_t kMaxTextBytes = 4095;

private:
    // "WORKGROUP*": one mailslot datagram to every interface's directed broadcast.
    std::int32_t sendToWorkgroup(std::vector<std::uint8_t> workgroup,
                                 std::vector<std::uint8_t> from, std::vector<std::uint8_t> text);

    QString m_localName;
    std::vector<std::uint8_t> m_localOemName;
    SmbMessengerOptions m_options;
    BroadcastAddresses* m_interfaces;
};
