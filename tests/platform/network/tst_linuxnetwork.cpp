#include "platform/network/LinuxComputerName.h"
#include "platform/network/LinuxNetworkAdapters.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTest>

#include <algorithm>

#include <unistd.h>

namespace {

QString textOf(const AddressField& field)
{
    const auto end = std::find(field.begin(), field.end(), '\0');
    return QString::fromLatin1(field.data(), end - field.begin());
}

// A field that was written as C text: one NUL ends the text and NULs fill the rest.
bool isNulPadded(const AddressField& field)
{
    const auto end = std::find(field.begin(), field.end(), '\0');
    return end != field.end() && std::all_of(end, field.end(), [](char c) { return c == '\0'; });
}

QStringList ipv4AddressesOf(const QNetworkInterface& interface)
{
    QStringList addresses;
    for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            addresses << entry.ip().toString();
    }
    return addresses;
}

} // namespace

class TestLinuxNetwork : public QObject
{
    Q_OBJECT

private slots:
    void adaptersMatchTheKernelsInterfaces();
    void broadcastAddressesMatchTheKernelsInterfaces();
    void ipv4InterfacesMatchTheKernels();
    void computerNameFromHostName_data();
    void computerNameFromHostName();
    void computerNameIsThisHostsName();
};

// Qt asks the kernel over netlink, a different road from getifaddrs: both must see the same
// non-loopback interfaces in the same order, with the same IPv4 addresses, each written as
// NUL-padded C text.
void TestLinuxNetwork::adaptersMatchTheKernelsInterfaces()
{
    LinuxNetworkAdapters adapters;
    const auto list = adapters.GetAdaptersInfo();
    QVERIFY(list.has_value());

    QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    interfaces.removeIf([](const QNetworkInterface& i) {
        return i.flags().testFlag(QNetworkInterface::IsLoopBack);
    });
    std::sort(interfaces.begin(), interfaces.end(),
              [](const auto& a, const auto& b) { return a.index() < b.index(); });

    QStringList expectedNames;
    for (const auto& interface : interfaces)
        expectedNames << interface.name();
    QStringList names;
    for (const AdapterRecord& adapter : *list)
        names << QString::fromStdString(adapter.name);
    QCOMPARE(names, expectedNames);

    for (qsizetype i = 0; i < interfaces.size(); ++i) {
        const AdapterRecord& adapter = list->at(i);
        QVERIFY(isNulPadded(adapter.ipAddress));
        QStringList reported;
        if (!textOf(adapter.ipAddress).isEmpty())
            reported << textOf(adapter.ipAddress);
        for (const AddressField& more : adapter.moreAddresses) {
            QVERIFY(isNulPadded(more));
            reported << textOf(more);
        }
        // Addresses beyond the first only with a first; never a loopback one.
        QVERIFY(!textOf(adapter.ipAddress).isEmpty() || adapter.moreAddresses.empty());
        QVERIFY(!QHostAddress(textOf(adapter.ipAddress)).isLoopback());
        QStringList expected = ipv4AddressesOf(interfaces[i]);
        reported.sort();
        expected.sort();
        QCOMPARE(reported, expected);
    }
}

// The same comparison for the up IPv4 interfaces the name service holds names on: first
// address, broadcast address (none on point-to-point links), loopback included.
void TestLinuxNetwork::ipv4InterfacesMatchTheKernels()
{
    LinuxNetworkAdapters adapters;
    const auto list = adapters.GetIpv4Interfaces();
    QVERIFY(list.has_value());

    QStringList expected;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const bool canBroadcast = interface.flags().testFlag(QNetworkInterface::CanBroadcast);
            expected << QStringLiteral("%1 %2 %3 %4 %5")
                            .arg(interface.index())
                            .arg(interface.name(), entry.ip().toString(),
                                 canBroadcast ? entry.broadcast().toString() : "-")
                            .arg(interface.flags().testFlag(QNetworkInterface::IsLoopBack));
            break;
        }
    }
    QStringList reported;
    for (const Ipv4Interface& i : *list) {
        reported << QStringLiteral("%1 %2 %3 %4 %5")
                        .arg(i.index)
                        .arg(QString::fromStdString(i.name), QHostAddress(i.address).toString(),
                             i.broadcast ? QHostAddress(i.broadcast).toString() : "-")
                        .arg(i.loopback);
    }
    QCOMPARE(reported, expected);
    QVERIFY2(
        std::any_of(list->begin(), list->end(),
                    [](const Ipv4Interface& i) { return i.loopback && i.address == 0x7F000001; }),
        "loopback is listed");
}

// The same netlink road as above: each up, non-loopback interface's IPv4 broadcast address.
void TestLinuxNetwork::broadcastAddressesMatchTheKernelsInterfaces()
{
    LinuxNetworkAdapters adapters;
    const auto reported = adapters.GetBroadcastAddresses();

    bool anyUp = false;
    QList<quint32> expected;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            flags.testFlag(QNetworkInterface::IsLoopBack) || ipv4AddressesOf(interface).isEmpty())
            continue;
        anyUp = true;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const quint32 broadcast = entry.broadcast().toIPv4Address();
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && broadcast != 0 &&
                !expected.contains(broadcast))
                expected << broadcast;
        }
    }
    QCOMPARE(reported.has_value(), anyUp);
    if (!reported)
        return;
    QList<quint32> seen(reported->begin(), reported->end());
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(seen, expected);
}

void TestLinuxNetwork::computerNameFromHostName_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("name");

    const auto row = [](const char* name, const char* host, const char* computerName) {
        QTest::newRow(name) << QString::fromLatin1(host) << QString::fromLatin1(computerName);
    };
    row("plain", "vm", "VM");
    row("fully qualified", "desk-07.office.example", "DESK-07");
    row("fifteen characters", "abcdefghijklmno", "ABCDEFGHIJKLMNO");
    row("sixteen cut to fifteen", "abcdefghijklmnop", "ABCDEFGHIJKLMNO");
    row("long and qualified", "a-very-long-host-name.lan", "A-VERY-LONG-HOS");
    row("dot after fifteen", "abcdefghijklmnopq.lan", "ABCDEFGHIJKLMNO");
    row("digits and upper case kept", "Pc42", "PC42");
    row("empty", "", "");
    row("leading dot", ".lan", "");
}

void TestLinuxNetwork::computerNameFromHostName()
{
    QFETCH(QString, host);
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(LinuxComputerName::fromHostName(host.toStdString())), name);
}

void TestLinuxNetwork::computerNameIsThisHostsName()
{
    char host[256] = {};
    QCOMPARE(gethostname(host, sizeof host - 1), 0);
    const std::string expected = LinuxComputerName::fromHostName(host);
    LinuxComputerName computer;

    char buffer[17];
    std::fill(std::begin(buffer), std::end(buffer), ' ');
    std::uint32_t size = 16;
    QVERIFY(computer.GetComputerNameA(buffer, size));
    QCOMPARE(size, std::uint32_t(expected.size()));
    QCOMPARE(QByteArray(buffer, size + 1), QByteArray(expected.c_str(), expected.size() + 1));

    // No room for the NUL: refused, the size needed said, the buffer untouched.
    if (expected.empty())
        QSKIP("this host has no name");
    char small[4] = {'x', 'x', 'x', 'x'};
    size = std::uint32_t(expected.size());
    QVERIFY(!computer.GetComputerNameA(small, size));
    QCOMPARE(size, std::uint32_t(expected.size() + 1));
    QCOMPARE(QByteArray(small, 4), QByteArray("xxxx"));
}

QTEST_GUILESS_MAIN(TestLinuxNetwork)
#include "tst_linuxnetwork.moc"
