#include "platform/messenger/SmbMessenger.h"

#include "platform/messenger/AddressPolicy.h"
#include "platform/messenger/MessengerResult.h"
#include "platform/messenger/UdpSocket.h"
#include "platform/network/BroadcastAddresses.h"
#include "protocol/MailslotDatagram.h"
#include "protocol/OemText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <random>
#include <string_view>
#include <variant>

namespace {

using namespace MessengerResult;

constexpr std::u16string_view kInvalidNameCharacters = u"\"/\\[]:|<>+=;,?*";

bool isEmpty(const char16_t* text)
{
    return text == nullptr || *text == u'\0';
}

bool isBlank(std::u16string_view text)
{
    return text.find_first_not_of(u' ') == text.npos;
}

// A recipient or sender name as it goes on the wire, or the code that refuses it.
std::variant<std::vector<std::uint8_t>, std::int32_t> oemName(std::u16string_view name)
{
    for (const char16_t unit : name) {
        if (unit < 0x20 || unit == 0x7F || kInvalidNameCharacters.find(unit) != name.npos)
            return kInvalidName;
    }
    // Characters CP850 lacks become '?', which no name may contain.
    auto oem = OemText::fromUtf16(OemText::upperCased(name));
    if (oem.size() > NetbiosName::kMaxNameBytes ||
        std::find(oem.begin(), oem.end(), std::uint8_t('?')) != oem.end())
        return kInvalidName;
    return oem;
}

// inet_pton takes ASCII only; anything else is no address.
std::optional<std::string> ascii(std::u16string_view text)
{
    if (std::any_of(text.begin(), text.end(), [](char16_t unit) { return unit > 0x7F; }))
        return std::nullopt;
    return std::string(text.begin(), text.end());
}

std::optional<std::uint32_t> parseIpv4(std::u16string_view text)
{
    const auto address = ascii(text);
    in_addr parsed{};
    if (!address || ::inet_pton(AF_INET, address->c_str(), &parsed) != 1)
        return std::nullopt;
    return ntohl(parsed.s_addr);
}

// An IPv6 address, bracketed or with a zone as people write them: a name cannot hold ':'.
bool isIpv6(std::u16string_view text)
{
    if (text.size() > 2 && text.front() == u'[' && text.back() == u']')
        text = text.substr(1, text.size() - 2);
    const auto address = ascii(text.substr(0, text.find(u'%')));
    in6_addr parsed{};
    return address && ::inet_pton(AF_INET6, address->c_str(), &parsed) == 1;
}

std::u16string utf16LittleEndian(const std::uint8_t* buf, std::uint32_t buflen)
{
    std::u16string text;
    text.reserve(buflen / 2);
    for (std::uint32_t i = 0; i + 1 < buflen; i += 2)
        text.push_back(static_cast<char16_t>(buf[i] | (buf[i + 1] << 8)));
    return text;
}

} // namespace

SmbMessenger::SmbMessenger(const QString& localComputerName, SmbMessengerOptions options,
                           BroadcastAddresses* interfaces)
    : m_localName(localComputerName), m_options(std::move(options)), m_interfaces(interfaces)
{
    // The calling name must be a valid name even when the host name is not.
    for (const std::uint8_t byte :
         OemText::fromUtf16(OemText::upperCased(localComputerName.toStdU16String()))) {
        if (m_localOemName.size() == NetbiosName::kMaxNameBytes)
            break;
        const bool bad = byte < 0x20 || byte == '?' || byte == '*' ||
                         kInvalidNameCharacters.find(char16_t(byte)) != std::u16string_view::npos;
        m_localOemName.push_back(bad ? '_' : byte);
    }
    if (m_localOemName.empty())
        m_localOemName = {'L', 'O', 'C', 'A', 'L', 'H', 'O', 'S', 'T'};
}

std::int32_t SmbMessenger::NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                                const char16_t* fromname, const std::uint8_t* buf,
                                                std::uint32_t buflen)
{
    const auto sendDeadline = SessionClient::Clock::now() + m_options.sendLimit;
    if (isEmpty(msgname) || isBlank(msgname) || (buf == nullptr && buflen != 0) || buflen % 2 != 0)
        return kInvalidParameter;
    if (!isEmpty(servername) &&
        QString::fromUtf16(servername).compare(m_localName, Qt::CaseInsensitive) != 0)
        return kBadNetPath;

    // A trailing '*' addresses a whole workgroup by mailslot broadcast; a leading one is
    // refused, as the messenger call refuses it.
    std::u16string_view recipient(msgname);
    if (isIpv6(recipient))
        return kNotSupported;
    const bool workgroup = recipient.size() > 1 && recipient.back() == u'*';
    if (recipient.front() == u'*')
        return kInvalidName;
    auto to = oemName(workgroup ? recipient.substr(0, recipient.size() - 1) : recipient);
    if (std::holds_alternative<std::int32_t>(to))
        return std::get<std::int32_t>(to);

    std::vector<std::uint8_t> from = m_localOemName;
    if (!isEmpty(fromname)) {
        auto given = oemName(fromname);
        if (std::holds_alternative<std::int32_t>(given))
            return std::get<std::int32_t>(given);
        from = std::move(std::get<std::vector<std::uint8_t>>(given));
    }

    auto text = OemText::messageFromUtf16(utf16LittleEndian(buf, buflen));
    if (workgroup)
        return sendToWorkgroup(std::move(std::get<std::vector<std::uint8_t>>(to)), std::move(from),
                               std::move(text));
    if (text.size() > kMaxTextBytes)
        return kInvalidParameter;

    auto toName = std::move(std::get<std::vector<std::uint8_t>>(to));
    NetbiosName called = NetbiosName::fromOem(toName, NetbiosName::kMessengerSuffix);
    const auto broadcasts = m_interfaces ? m_interfaces->GetBroadcastAddresses() : std::nullopt;
    AddressPolicy policy{false, broadcasts.value_or(std::vector<std::uint32_t>{})};
    const std::uint16_t port = m_options.sessionPort;
    std::optional<std::uint32_t> given = m_options.address;
    if (!given)
        given = parseIpv4(recipient);
    NameResolver resolver(m_options.resolver);
    std::uint32_t address = 0;
    if (given) {
        address = *given;
        policy.loopbackAllowed = AddressPolicy::isLoopback(address);
        if (!policy.mayConnect(address, port))
            return kNetworkError;
        // Samba takes any called name, so the address text serves when the node is silent.
        if (!m_options.address) {
            if (const auto name = resolver.messengerNameOf(address, sendDeadline)) {
                called = *name;
                const std::string trimmed = name->trimmedName();
                toName.assign(trimmed.begin(), trimmed.end());
            }
        }
    } else {
        // A send to this machine by its own name is the one that may go to loopback.
        policy.loopbackAllowed =
            QString::fromUtf16(msgname).compare(m_localName, Qt::CaseInsensitive) == 0;
        const auto found = resolver.resolve(
            called, QString::fromUtf16(msgname).toStdString(), broadcasts,
            [&policy, port](std::uint32_t candidate) { return policy.mayConnect(candidate, port); },
            sendDeadline);
        switch (found.outcome) {
        case NameResolver::Outcome::Found:
            break;
        case NameResolver::Outcome::NoInterface:
            return kUseNotFound;
        case NameResolver::Outcome::NotFound:
            return kNameNotFound;
        case NameResolver::Outcome::Refused:
        case NameResolver::Outcome::TimedOut:
            return kNetworkError;
        }
        address = found.address;
    }

    OutgoingMessage message{called,
                            NetbiosName::fromOem(m_localOemName, NetbiosName::kWorkstationSuffix),
                            from, toName, text};
    return SessionClient(m_options.timeouts, policy).deliver(address, port, message, sendDeadline);
}

std::int32_t SmbMessenger::sendToWorkgroup(std::vector<std::uint8_t> workgroup,
                                           std::vector<std::uint8_t> from,
                                           std::vector<std::uint8_t> text)
{
    MailslotDatagram::WorkgroupMessage message;
    message.sourceName = NetbiosName::fromOem(m_localOemName, NetbiosName::kWorkstationSuffix);
    message.destination = NetbiosName::fromOem(workgroup, NetbiosName::kWorkstationSuffix);
    message.from = std::move(from);
    message.to = std::move(workgroup);
    message.text = std::move(text);
    // Nothing is cut: a text the datagram cannot hold is refused whole.
    if (!MailslotDatagram::body(message))
        return kInvalidParameter;

    const auto broadcasts = m_interfaces ? m_interfaces->GetBroadcastAddresses() : std::nullopt;
    if (!broadcasts || broadcasts->empty())
        return kUseNotFound;
    message.datagramId = static_cast<std::uint16_t>(std::random_device{}());
    bool sent = false;
    for (const std::uint32_t target : *broadcasts) {
        // Connected to the broadcast address, the socket tells our address on that segment,
        // which the datagram must carry.
        UdpSocket socket;
        if (!socket.open(true) || !socket.connectTo(target, m_options.datagramPort))
            continue;
        const auto source = socket.localAddress();
        if (!source)
            continue;
        message.sourceAddress = *source;
        socket.send(*MailslotDatagram::encode(message));
        sent = true;
    }
    // Nobody acknowledges a mailslot write: sent is all there is to know.
    return sent ? kSuccess : kNetworkError;
}
