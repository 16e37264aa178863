#include "identity/LocalIdentity.h"
#include "identity/TrimAtNull.h"
#include "platform/network/ComputerName.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/network/LinuxNetworkAdapters.h"
#include "platform/network/NetworkAdapters.h"

#include <QRegularExpression>
#include <QTest>

#include <cstring>
#include <string_view>

namespace {

// A 16-byte address field holding text, NUL-padded; longer text is cut at 16 bytes, so a
// 16-character text leaves no NUL at all.
AddressField field(std::string_view text)
{
    AddressField f{};
    std::memcpy(f.data(), text.data(), std::min(text.size(), f.size()));
    return f;
}

AdapterRecord adapter(std::string_view first, std::vector<std::string_view> more = {})
{
    AdapterRecord record{"eth", field(first), {}};
    for (auto text : more)
        record.moreAddresses.push_back(field(text));
    return record;
}

class FakeAdapters final : public NetworkAdapters
{
public:
    std::optional<std::vector<AdapterRecord>> GetAdaptersInfo() override
    {
        ++calls;
        return list;
    }

    std::optional<std::vector<AdapterRecord>> list;
    int calls = 0;
};

// Writes fixed bytes into the caller's buffer, as a platform would, and records what it got.
class FakeComputerName final : public ComputerName
{
public:
    bool GetComputerNameA(char* buffer, std::uint32_t& size) override
    {
        sizeGiven = size;
        bufferGiven = QByteArray(buffer, size + 1);
        if (written)
            std::memcpy(buffer, written->data(), std::min<std::size_t>(written->size(), size));
        return true;
    }

    std::optional<QByteArray> written;
    std::uint32_t sizeGiven = 0;
    QByteArray bufferGiven;
};

} // namespace

class TestLocalIdentity : public QObject
{
    Q_OBJECT

private slots:
    void trimAtNull_data();
    void trimAtNull();
    void addressFromAdapterChain_data();
    void addressFromAdapterChain();
    void addressIsEmptyWhenPlatformFails();
    void computerNameFromBuffer_data();
    void computerNameFromBuffer();
    void realServicesAgreeWithTheirRules();
};

void TestLocalIdentity::trimAtNull_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("nul first") << QString::fromUtf16(u"\0abc", 4) << QString();
    QTest::newRow("no nul") << QStringLiteral("10.0.0.1") << QStringLiteral("10.0.0.1");
    QTest::newRow("nul in the middle")
        << QString::fromUtf16(u"10.0.0.1\0\0\0\0\0\0\0\0", 16) << QStringLiteral("10.0.0.1");
    QTest::newRow("stops at the first of several")
        << QString::fromUtf16(u"ab\0cd\0", 6) << QStringLiteral("ab");
    QTest::newRow("only nuls") << QString(16, QChar(u'\0')) << QString();
    QTest::newRow("spaces kept") << QString(16, QChar(u' ')) << QString(16, QChar(u' '));
}

void TestLocalIdentity::trimAtNull()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(TrimAtNull(text), expected);
}

void TestLocalIdentity::addressFromAdapterChain_data()
{
    using Chain = std::vector<AdapterRecord>;
    QTest::addColumn<Chain>("chain");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* name, const Chain& chain, const char* expected) {
        QTest::newRow(name) << chain << QString::fromLatin1(expected);
    };
    row("no adapters", {}, "");
    row("one adapter", {adapter("192.168.1.20")}, "192.168.1.20");
    row("first of two wins", {adapter("10.1.2.3"), adapter("192.168.1.20")}, "10.1.2.3");
    row("first adapter empty", {adapter(""), adapter("192.168.1.20")}, "192.168.1.20");
    row("first two empty", {adapter(""), adapter(""), adapter("172.16.0.9")}, "172.16.0.9");
    row("all empty", {adapter(""), adapter(""), adapter("")}, "");
    row("0.0.0.0 first wins", {adapter("0.0.0.0"), adapter("192.168.1.20")}, "0.0.0.0");
    row("field without nul gives all 16 bytes", {adapter("123.123.123.1234"), adapter("10.0.0.1")},
        "123.123.123.1234");
    row("longest address", {adapter("255.255.255.255")}, "255.255.255.255");
    row("only the first address of an adapter",
        {adapter("10.0.0.1", {"192.168.1.20", "172.16.0.9"})}, "10.0.0.1");
    row("later addresses of an empty adapter are not looked at",
        {adapter("", {"192.168.1.20"}), adapter("10.0.0.1")}, "10.0.0.1");
    row("later addresses never give the result", {adapter("", {"192.168.1.20"})}, "");

    AdapterRecord garbageAfterNul = adapter("10.0.0.1");
    std::memcpy(garbageAfterNul.ipAddress.data() + 9, "9999999", 7);
    row("bytes after the nul are ignored", {garbageAfterNul}, "10.0.0.1");

    AdapterRecord nulFirstThenText = adapter("");
    std::memcpy(nulFirstThenText.ipAddress.data() + 1, "10.0.0.1", 8);
    row("a field that begins with nul is empty", {nulFirstThenText, adapter("10.9.9.9")},
        "10.9.9.9");
}

void TestLocalIdentity::addressFromAdapterChain()
{
    using Chain = std::vector<AdapterRecord>;
    QFETCH(Chain, chain);
    QFETCH(QString, expected);

    FakeAdapters adapters;
    adapters.list = chain;
    const QString address = GetLocalIPAddress(adapters);
    QCOMPARE(address, expected);
    QCOMPARE(adapters.calls, 1);
}

void TestLocalIdentity::addressIsEmptyWhenPlatformFails()
{
    FakeAdapters adapters;
    adapters.list = std::nullopt;
    QVERIFY(GetLocalIPAddress(adapters).isEmpty());
}

void TestLocalIdentity::computerNameFromBuffer_data()
{
    QTest::addColumn<std::optional<QByteArray>>("written");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* name, std::optional<QByteArray> written, QString expected) {
        QTest::newRow(name) << written << expected;
    };
    row("short name", QByteArray("VM\0", 3), "VM");
    row("fifteen characters", QByteArray("ABCDEFGHIJKLMNO\0", 16), "ABCDEFGHIJKLMNO");
    row("sixteen without nul", QByteArray("ABCDEFGHIJKLMNOP", 16), "ABCDEFGHIJKLMNOP");
    row("empty name", QByteArray("\0", 1), QString());
    row("untouched buffer keeps its spaces", std::nullopt, QString(16, QChar(u' ')));
    row("nul without clearing the rest", QByteArray("PC\0", 3), "PC");
}

void TestLocalIdentity::computerNameFromBuffer()
{
    QFETCH(std::optional<QByteArray>, written);
    QFETCH(QString, expected);

    FakeComputerName computer;
    computer.written = written;
    QCOMPARE(GetLocalComputerName(computer), expected);
    // Whatever comes back, the call is given sixteen spaces and a NUL.
    QCOMPARE(computer.sizeGiven, 16u);
    QCOMPARE(computer.bufferGiven, QByteArray(16, ' ') + QByteArray(1, '\0'));
}

void TestLocalIdentity::realServicesAgreeWithTheirRules()
{
    // Whatever this machine is called and connected to: the name fits the buffer whole and
    // the address is dotted IPv4 text or nothing.
    LinuxComputerName computer;
    const QString name = GetLocalComputerName(computer);
    QVERIFY2(name.size() <= 15, qPrintable(name));
    QVERIFY(!name.contains(QChar(u'.')));
    QCOMPARE(name, name.toUpper());

    LinuxNetworkAdapters adapters;
    const QString address = GetLocalIPAddress(adapters);
    if (!address.isEmpty()) {
        static const QRegularExpression dotted(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
        QVERIFY2(dotted.match(address).hasMatch(), qPrintable(address));
        QVERIFY2(!address.startsWith(QStringLiteral("127.")), qPrintable(address));
    }
}

QTEST_GUILESS_MAIN(TestLocalIdentity)
#include "tst_localidentity.moc"
