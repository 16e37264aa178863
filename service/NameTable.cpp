#include "service/NameTable.h"

#include <algorithm>

namespace {

// Senders upper-case the names they call; so must the table, ASCII letters only, so that the
// byte count never changes.
std::string upperCased(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    if (text.size() > NetbiosName::kMaxNameBytes)
        text.resize(NetbiosName::kMaxNameBytes);
    return text;
}

NetbiosName messengerName(const std::string& text)
{
    return NetbiosName::fromOem(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
        NetbiosName::kMessengerSuffix);
}

} // namespace

NameTable::NameTable(std::string computerName, AddressSource addresses)
    : m_computerName(upperCased(std::move(computerName))), m_addresses(std::move(addresses))
{}

void NameTable::addAlias(const std::string& name, const std::string& user)
{
    removeAlias(name);
    m_aliases.emplace_back(messengerName(upperCased(name)), user);
}

void NameTable::removeAlias(const std::string& name)
{
    const NetbiosName key = messengerName(upperCased(name));
    std::erase_if(m_aliases, [&](const auto& alias) { return alias.first == key; });
}

std::optional<NameTable::Recipient> NameTable::find(const NetbiosName& called,
                                                    const std::string& localAddress) const
{
    if (called.suffix() != NetbiosName::kMessengerSuffix)
        return std::nullopt;
    if (!m_computerName.empty() && called == messengerName(m_computerName)) {
        if (!m_computerNameLost)
            return Recipient{};
        const auto ours = m_addresses ? m_addresses() : std::vector<std::string>{};
        if (!localAddress.empty() &&
            std::find(ours.begin(), ours.end(), localAddress) != ours.end())
            return Recipient{};
    }
    for (const auto& [name, user] : m_aliases) {
        if (name == called)
            return Recipient{user};
    }
    if (m_addresses) {
        for (const std::string& address : m_addresses()) {
            if (called == messengerName(address))
                return Recipient{};
        }
    }
    return std::nullopt;
}
