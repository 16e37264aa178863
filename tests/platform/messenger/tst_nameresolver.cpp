#include "HexBytes.h"
#include "platform/messenger/AddressPolicy.h"
#include "platform/messenger/MessengerResult.h"
#include "platform/messenger/NameResolver.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/BroadcastAddresses.h"
#include "support/FakeNameResponder.h"
#include "support/FakeSessionPeer.h"
#include "support/MessengerCall.h"
#include "support/PeerScripts.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <string_view>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Script = FakeNameResponder::Script;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kSecondLoopback = 0x7F000002;
constexpr std::uint32_t kAnswered = 0x7F000009;
constexpr std::uint32_t kStranger = 0x7F000042;
// Where the messenger's name queries go: the one "interface" broadcast address.
constexpr std::uint32_t kNameService = 0x7F0000FF;
const QString kLocalName = QStringLiteral("testhost");
const std::vector<std::uint32_t> kLoopbackTargets{kLoopback};

// The resolver's own tests take loopback answers as a send to this machine would.
bool usable(std::uint32_t address)
{
    return AddressPolicy{true, {}}.mayConnect(address, 139);
}

const NetbiosName kAlice = NetbiosName::fromOem(asciiBytes("ALICE"), 0x03);

// The adapter list, reduced to what the messenger asks of it.
class FixedBroadcasts final : public BroadcastAddresses
{
public:
    explicit FixedBroadcasts(
        std::optional<std::vector<std::uint32_t>> list = std::vector{kNameService})
        : m_list(std::move(list))
    {}
    std::optional<std::vector<std::uint32_t>> GetBroadcastAddresses() override { return m_list; }

private:
    std::optional<std::vector<std::uint32_t>> m_list;
};

Bytes be16(std::uint16_t value)
{
    return {std::uint8_t(value >> 8), std::uint8_t(value)};
}

Bytes be32(std::uint32_t value)
{
    return concat({be16(std::uint16_t(value >> 16)), be16(std::uint16_t(value))});
}

// The 16 raw bytes of a name: up to 15 bytes padded, then the suffix.
Bytes rawName(const char* name, std::uint8_t suffix, std::uint8_t pad = ' ')
{
    Bytes raw = asciiBytes(name);
    raw.resize(15, pad);
    raw.push_back(suffix);
    return raw;
}

// Second-level form, written out here rather than with the codec under test.
Bytes encodedName(const Bytes& raw)
{
    Bytes out{0x20};
    for (const std::uint8_t byte : raw) {
        out.push_back(std::uint8_t('A' + (byte >> 4)));
        out.push_back(std::uint8_t('A' + (byte & 0x0F)));
    }
    out.push_back(0x00);
    return out;
}

Bytes header(std::uint16_t id, std::uint16_t flags, std::uint16_t questions, std::uint16_t answers)
{
    return concat({be16(id), be16(flags), be16(questions), be16(answers), be16(0), be16(0)});
}

std::uint16_t idOf(const Bytes& request)
{
    return request.size() >= 2 ? std::uint16_t(request[0] << 8 | request[1]) : 0;
}

// The raw bytes of an uncompressed second-level name at offset.
Bytes nameAt(const Bytes& bytes, std::size_t offset)
{
    if (bytes.size() < offset + 34 || bytes[offset] != 0x20)
        return {};
    Bytes raw;
    for (std::size_t i = offset + 1; i < offset + 33; i += 2)
        raw.push_back(std::uint8_t((bytes[i] - 'A') << 4 | (bytes[i + 1] - 'A')));
    return raw;
}

Bytes questionOf(const Bytes& request)
{
    return nameAt(request, 12);
}

// POSITIVE NAME QUERY RESPONSE as nmbd sends it: AA, RD, RA; TTL three days; unique B-node.
Bytes positiveAnswer(std::uint16_t id, const Bytes& raw, std::vector<std::uint32_t> addresses,
                     std::uint16_t flags = 0x8580)
{
    Bytes data;
    for (const std::uint32_t address : addresses)
        data = concat({data, be16(0x0000), be32(address)});
    return concat({header(id, flags, 0, 1), encodedName(raw), be16(0x0020), be16(0x0001),
                   be32(259200), be16(std::uint16_t(data.size())), data});
}

Bytes aliceAnswer(std::uint16_t id, std::uint32_t address = kAnswered)
{
    return positiveAnswer(id, rawName("ALICE", 0x03), {address});
}

struct TableEntry
{
    Bytes raw;
    std::uint16_t flags;
};

constexpr std::uint16_t kUniqueActive = 0x0400;

// NODE STATUS RESPONSE: name table, then the statistics (46 bytes in practice).
Bytes nodeStatusAnswer(std::uint16_t id, const std::vector<TableEntry>& table,
                       std::size_t statistics = 46, int claimedNames = -1)
{
    Bytes data{std::uint8_t(claimedNames >= 0 ? claimedNames : int(table.size()))};
    for (const TableEntry& entry : table)
        data = concat({data, entry.raw, be16(entry.flags)});
    data.resize(data.size() + statistics, 0);
    return concat({header(id, 0x8400, 0, 1), encodedName(rawName("*", 0x00, 0x00)), be16(0x0021),
                   be16(0x0001), be32(0), be16(std::uint16_t(data.size())), data});
}

const std::vector<TableEntry> kSambaTable = {
    {rawName("PEERTEST", 0x00), kUniqueActive}, {rawName("PEERTEST", 0x03), kUniqueActive},
    {rawName("PEERTEST", 0x20), kUniqueActive}, {rawName("WORKGROUP", 0x00), 0x8400},
    {rawName("WORKGROUP", 0x1E), 0x8400},
};

std::vector<Bytes> prefixesOf(const Bytes& packet)
{
    std::vector<Bytes> out;
    for (std::size_t length = 0; length < packet.size(); ++length)
        out.emplace_back(packet.begin(), packet.begin() + std::ptrdiff_t(length));
    return out;
}

std::vector<Bytes> garbage()
{
    std::vector<Bytes> out = {{}, {0xFF}, Bytes(12, 0x00), Bytes(12, 0xFF), Bytes(600, 0x41)};
    std::uint32_t state = 12345;
    for (int i = 0; i < 8; ++i) {
        Bytes noise(std::size_t(20 + 37 * i));
        for (auto& byte : noise) {
            state = state * 1103515245u + 12345u;
            byte = std::uint8_t(state >> 16);
        }
        out.push_back(noise);
    }
    return out;
}

template <typename... Lists> std::vector<Bytes> joined(Lists... lists)
{
    std::vector<Bytes> out;
    (out.insert(out.end(), lists.begin(), lists.end()), ...);
    return out;
}

// What a responder sends back to one request: by transaction id, the request itself and
// which try it is.
using Answer = std::function<std::vector<Bytes>(std::uint16_t id, const Bytes& request, int index)>;

// The same answer to every try.
template <typename F> Answer always(F answer)
{
    return [answer](std::uint16_t id, const Bytes&, int) {
        return answer(id);
    };
}

// A request and its answers: the result found (an address or a messenger name; none, so the
// host lookup is asked, when 0 or empty) and the requests the resolver sends.
template <typename Found> struct Scenario
{
    const char* name;
    Found found;
    int requests;
    Answer answer;
};
using QueryScenario = Scenario<std::uint32_t>;
using NodeStatusScenario = Scenario<const char*>;

template <typename Found>
Script scriptOf(const std::vector<Scenario<Found>>& scenarios, std::string_view name)
{
    for (const Scenario<Found>& each : scenarios)
        if (name == each.name)
            return [answer = each.answer](const Bytes& request, int index) {
                return answer(idOf(request), request, index);
            };
    return {};
}

// For ALICE<03>.
const std::vector<QueryScenario>& queryScenarios()
{
    using R = std::vector<Bytes>;
    static const std::vector<QueryScenario> all = {
        {"one answer", kAnswered, 1, always([](auto id) { return R{aliceAnswer(id)}; })},
        {"the same answer twice, as nmbd sends it", kAnswered, 1, always([](auto id) {
             return R{aliceAnswer(id), aliceAnswer(id)};
         })},
        {"two answering nodes", kAnswered, 1, always([](auto id) {
             return R{aliceAnswer(id), aliceAnswer(id, kStranger)};
         })},
        {"two addresses in one answer", kAnswered, 1, always([](auto id) {
             return R{positiveAnswer(id, rawName("ALICE", 0x03), {kAnswered, kStranger})};
         })},
        {"unusable addresses first", kAnswered, 1, always([](auto id) {
             return R{aliceAnswer(id, 0), aliceAnswer(id, 0xFFFFFFFF),
                      positiveAnswer(id, rawName("ALICE", 0x03), {0, 0xFFFFFFFF, kAnswered})};
         })},
        {"answer on the second try only", kAnswered, 2,
         [](auto id, auto&, int index) {
             return index == 0 ? R{} : R{aliceAnswer(id)};
         }},
        {"wrong transaction id, then the answer", kAnswered, 1, always([](auto id) {
             return R{aliceAnswer(std::uint16_t(id + 1), kStranger),
                      aliceAnswer(std::uint16_t(id ^ 0x8000), kStranger), aliceAnswer(id)};
         })},
        {"another name, then the answer", kAnswered, 1, always([](auto id) {
             return R{positiveAnswer(id, rawName("BOB", 0x03), {kStranger}),
                      positiveAnswer(id, rawName("ALICE", 0x00), {kStranger}),
                      positiveAnswer(id, rawName("alice", 0x03), {kStranger}), aliceAnswer(id)};
         })},
        {"negative response and WACK, then the answer", kAnswered, 1, always([](auto id) {
             const Bytes negative =
                 concat({header(id, 0x8583, 0, 1), encodedName(rawName("ALICE", 0x03)),
                         be16(0x000A), be16(0x0001), be32(0), be16(0)});
             const Bytes wack = positiveAnswer(id, rawName("ALICE", 0x03), {kStranger}, 0xBC00);
             const Bytes rcode = positiveAnswer(id, rawName("ALICE", 0x03), {kStranger}, 0x8583);
             return R{negative, wack, rcode, aliceAnswer(id)};
         })},
        {"our own request echoed, then the answer", kAnswered, 1,
         [](auto id, const Bytes& request, int) {
             return R{request, aliceAnswer(id)};
         }},
        {"garbage, then the answer", kAnswered, 1,
         always([](auto id) { return joined(garbage(), R{aliceAnswer(id)}); })},
        {"every truncation, then the answer", kAnswered, 1,
         always([](auto id) { return joined(prefixesOf(aliceAnswer(id)), R{aliceAnswer(id)}); })},
        {"broken lengths and pointers, then the answer", kAnswered, 1, always([](auto id) {
             Bytes longData = aliceAnswer(id, kStranger);
             longData[longData.size() - 7] = 0x40; // RDLENGTH past the end
             Bytes oddData = positiveAnswer(id, rawName("ALICE", 0x03), {kStranger});
             oddData.push_back(0x00);
             oddData[oddData.size() - 8] = 7; // not a multiple of six
             const Bytes empty = positiveAnswer(id, rawName("ALICE", 0x03), {});
             // RR_NAME pointing at itself, and forwards past the end.
             const Bytes loop =
                 concat({header(id, 0x8580, 0, 1), hexBytes("C0 0C"),
                         hexBytes("00 20 00 01 00 00 00 00 00 06 00 00 7F 00 00 42")});
             const Bytes forward =
                 concat({header(id, 0x8580, 0, 1), hexBytes("FF FF"),
                         hexBytes("00 20 00 01 00 00 00 00 00 06 00 00 7F 00 00 42")});
             // A label that is not 32 characters, and characters outside 'A'..'P'.
             Bytes shortLabel = aliceAnswer(id, kStranger);
             shortLabel[12] = 0x1F;
             Bytes badLetter = aliceAnswer(id, kStranger);
             badLetter[13] = 'Z';
             const Bytes manyQuestions = concat({header(id, 0x8580, 0xFFFF, 1)});
             return R{longData,   oddData,   empty,         loop,           forward,
                      shortLabel, badLetter, manyQuestions, aliceAnswer(id)};
         })},
        {"answer that repeats the question and points back to it", kAnswered, 1,
         always([](auto id) {
             return R{concat({header(id, 0x8580, 1, 1), encodedName(rawName("ALICE", 0x03)),
                              hexBytes("00 20 00 01 C0 0C 00 20 00 01 00 03 F4 80 00 06 00 00"),
                              be32(kAnswered)})};
         })},
        {"silence", 0, 3, always([](auto) { return R{}; })},
        {"only wrong transaction ids", 0, 3,
         always([](auto id) { return R{aliceAnswer(std::uint16_t(id + 1))}; })},
        {"only other names", 0, 3, always([](auto id) {
             return R{positiveAnswer(id, rawName("ALICE", 0x20), {kAnswered})};
         })},
        {"only garbage and truncations", 0, 3,
         always([](auto id) { return joined(garbage(), prefixesOf(aliceAnswer(id))); })},
        {"only our own request", 0, 3,
         [](auto, const Bytes& request, int) {
             return R{request};
         }},
    };
    return all;
}

Script queryScenario(std::string_view name)
{
    return scriptOf(queryScenarios(), name);
}

const std::vector<NodeStatusScenario>& nodeStatusScenarios()
{
    using R = std::vector<Bytes>;
    using T = std::vector<TableEntry>;
    const TableEntry peer03{rawName("PEERTEST", 0x03), kUniqueActive};
    // A table of one messenger name in this state, then PEERTEST<03>.
    const auto afterOneIn = [peer03](const char* name, std::uint16_t flags) {
        return always([=](auto id) {
            return R{nodeStatusAnswer(id, T{{rawName(name, 0x03), flags}, peer03})};
        });
    };
    static const std::vector<NodeStatusScenario> all = {
        {"Samba's table", "PEERTEST", 1,
         always([](auto id) { return R{nodeStatusAnswer(id, kSambaTable)}; })},
        {"group messenger name first", "PEERTEST", 1, afterOneIn("WORKGROUP", 0x8400)},
        {"deregistering messenger name first", "PEERTEST", 1, afterOneIn("GONE", 0x1400)},
        {"conflicting messenger name first", "PEERTEST", 1, afterOneIn("CLASH", 0x0C00)},
        {"inactive messenger name first", "PEERTEST", 1, afterOneIn("ASLEEP", 0x0000)},
        {"permanent M-node messenger name", "PEERTEST", 1, always([](auto id) {
             return R{nodeStatusAnswer(id, T{{rawName("PEERTEST", 0x03), 0x4600}})};
         })},
        {"two messenger names", "PEERALIAS", 1, afterOneIn("PEERALIAS", 0x0400)},
        {"aliases listed before the workstation name", "PEERTEST", 1, always([peer03](auto id) {
             return R{nodeStatusAnswer(id, T{{rawName("PEERALIAS", 0x03), kUniqueActive},
                                             {rawName("WORKGROUP", 0x00), 0x8400},
                                             {rawName("PEERTEST", 0x00), kUniqueActive},
                                             {rawName("ZEDALIAS", 0x03), kUniqueActive},
                                             peer03})};
         })},
        {"workstation name without its messenger name", "PEERALIAS", 1, always([](auto id) {
             return R{nodeStatusAnswer(id, T{{rawName("PEERALIAS", 0x03), kUniqueActive},
                                             {rawName("PEERTEST", 0x00), kUniqueActive}})};
         })},
        {"workstation's messenger name in conflict", "PEERALIAS", 1, always([](auto id) {
             return R{nodeStatusAnswer(id, T{{rawName("PEERTEST", 0x00), kUniqueActive},
                                             {rawName("PEERTEST", 0x03), 0x0C00},
                                             {rawName("PEERALIAS", 0x03), kUniqueActive}})};
         })},
        {"name padded with NULs", "PEERTEST", 1, always([](auto id) {
             return R{nodeStatusAnswer(id, T{{rawName("PEERTEST", 0x03, 0x00), 0x0400}})};
         })},
        {"no statistics", "PEERTEST", 1,
         always([](auto id) { return R{nodeStatusAnswer(id, kSambaTable, 0)}; })},
        {"wrong transaction id, then the table", "PEERTEST", 1, always([](auto id) {
             return R{nodeStatusAnswer(std::uint16_t(id + 1),
                                       T{{rawName("STRANGER", 0x03), kUniqueActive}}),
                      nodeStatusAnswer(id, kSambaTable)};
         })},
        {"garbage and truncations, then the table", "PEERTEST", 1, always([](auto id) {
             return joined(garbage(), prefixesOf(nodeStatusAnswer(id, kSambaTable)),
                           R{nodeStatusAnswer(id, kSambaTable)});
         })},
        {"a name query answer, then the table", "PEERTEST", 1, always([](auto id) {
             return R{positiveAnswer(id, rawName("STRANGER", 0x03), {kStranger}),
                      nodeStatusAnswer(id, kSambaTable)};
         })},
        {"table on the third try only", "PEERTEST", 3,
         [](auto id, auto&, int index) {
             return index < 2 ? R{} : R{nodeStatusAnswer(id, kSambaTable)};
         }},
        // A well-formed table without a messenger name is final; anything malformed is ignored.
        {"only other suffixes", "", 1, always([](auto id) {
             return R{nodeStatusAnswer(id, T{{rawName("PEERTEST", 0x00), kUniqueActive},
                                             {rawName("PEERTEST", 0x20), kUniqueActive}})};
         })},
        {"empty table", "", 1, always([](auto id) { return R{nodeStatusAnswer(id, {})}; })},
        {"more names claimed than sent", "", 3,
         always([](auto id) { return R{nodeStatusAnswer(id, kSambaTable, 0, 6)}; })},
        {"255 names claimed, none sent", "", 3,
         always([](auto id) { return R{nodeStatusAnswer(id, {}, 46, 255)}; })},
        {"RDLENGTH past the datagram", "", 3, always([](auto id) {
             Bytes packet = nodeStatusAnswer(id, kSambaTable);
             packet.resize(packet.size() - 60);
             return R{packet};
         })},
        {"silence", "", 3, always([](auto) { return R{}; })},
    };
    return all;
}

Script nodeStatusScenario(std::string_view name)
{
    return scriptOf(nodeStatusScenarios(), name);
}

// Records what the resolver asks the system resolver, and answers as told.
struct HostLookupSpy
{
    std::optional<std::uint32_t> answer;
    std::vector<std::pair<std::string, std::chrono::milliseconds>> calls;
};

NameResolverOptions loopbackOptions(std::uint16_t port, const std::shared_ptr<HostLookupSpy>& spy,
                                    int tries = 3, std::chrono::milliseconds interval = 150ms)
{
    NameResolverOptions options;
    options.port = port;
    options.tries = tries;
    options.tryInterval = interval;
    options.hostLookup = [spy](const std::string& name, std::chrono::milliseconds timeout) {
        spy->calls.emplace_back(name, timeout);
        return spy->answer;
    };
    return options;
}

QString addressText(std::uint32_t address)
{
    return QHostAddress(address).toString();
}

SmbMessengerOptions messengerOptions(std::uint16_t namePort, std::uint16_t sessionPort,
                                     const std::shared_ptr<HostLookupSpy>& spy)
{
    SmbMessengerOptions options;
    options.resolver = loopbackOptions(namePort, spy);
    options.sessionPort = sessionPort;
    options.timeouts.connect = 1500ms;
    options.timeouts.reply = 1500ms;
    return options;
}

// The called name of a session request and the destination of the 0xD5 that followed.
struct Delivery
{
    QString called;
    QString destination;
};

Delivery deliveryOf(const std::vector<PeerFrame>& frames)
{
    Delivery delivery;
    if (!frames.empty() && frames[0].type == 0x81)
        delivery.called = hexText(nameAt(frames[0].body, 0));
    for (const PeerFrame& frame : frames) {
        if (PeerScripts::commandOf(frame) != 0xD5 || frame.body.size() < 38)
            continue;
        // 0x04 originator NUL 0x04 destination NUL after WordCount and ByteCount.
        const Bytes data(frame.body.begin() + 35, frame.body.end());
        const auto second = std::find(data.begin() + 1, data.end(), std::uint8_t(0x04));
        if (second != data.end())
            delivery.destination = QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(&*(second + 1)),
                           qsizetype(std::find(second, data.end(), std::uint8_t(0)) - second - 1)));
    }
    return delivery;
}

} // namespace

class TestNameResolver : public QObject
{
    Q_OBJECT

private slots:
    void resolvesByNameQuery_data();
    void resolvesByNameQuery();
    void sendsTheRequestsOfTheProtocolNotes();
    void fallsBackToTheHostLookupAfterTheConfiguredTries_data();
    void fallsBackToTheHostLookupAfterTheConfiguredTries();
    void queriesEveryBroadcastTarget();
    void findsTheMessengerNameOfAnAddress_data();
    void findsTheMessengerNameOfAnAddress();
    void messengerCallsTheResolvedAddress_data();
    void messengerCallsTheResolvedAddress();
    void messengerUsesTheNameTheNodeReports_data();
    void messengerUsesTheNameTheNodeReports();
    void messengerEndsAfterTheNameQueries_data();
    void messengerEndsAfterTheNameQueries();
    void messengerEndsWithinTheSendLimit();
    void messengerSendsTheWorkgroupDatagram();
};

void TestNameResolver::resolvesByNameQuery_data()
{
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < queryScenarios().size(); ++i)
        QTest::newRow(queryScenarios()[i].name) << int(i);
}

void TestNameResolver::resolvesByNameQuery()
{
    QFETCH(int, index);
    const QueryScenario& scenario = queryScenarios()[std::size_t(index)];
    const std::uint32_t address = scenario.found;
    const int requests = scenario.requests;

    const Script script = queryScenario(scenario.name);
    QVERIFY(script);
    FakeNameResponder responder(kLoopback, script);
    QVERIFY(responder.port() != 0);
    auto spy = std::make_shared<HostLookupSpy>();
    NameResolver resolver(loopbackOptions(responder.port(), spy));

    const auto result = resolver.resolve(kAlice, "alice.example", kLoopbackTargets, usable);
    if (address != 0) {
        QCOMPARE(result.outcome, NameResolver::Outcome::Found);
        QCOMPARE(addressText(result.address), addressText(address));
        QVERIFY(spy->calls.empty());
    } else {
        QCOMPARE(result.outcome, NameResolver::Outcome::NotFound);
        QCOMPARE(spy->calls.size(), std::size_t(1));
    }
    const auto seen = responder.requests();
    QCOMPARE(int(seen.size()), requests);
    // One transaction: every try carries the same id.
    for (const Bytes& request : seen)
        QCOMPARE(idOf(request), idOf(seen.front()));
}

void TestNameResolver::sendsTheRequestsOfTheProtocolNotes()
{
    FakeNameResponder responder(kLoopback, [](const Bytes&, int) { return std::vector<Bytes>{}; });
    auto spy = std::make_shared<HostLookupSpy>();
    NameResolver resolver(loopbackOptions(responder.port(), spy, 1, 50ms));
    resolver.resolve(kAlice, "alice", kLoopbackTargets, usable);
    resolver.messengerNameOf(kLoopback);

    QTRY_COMPARE_WITH_TIMEOUT(responder.requests().size(), std::size_t(2), 5000);
    const auto seen = responder.requests();
    // The vectors with the transaction id of the actual request.
    const auto withId = [](Bytes vector, const Bytes& request) {
        vector[0] = request.at(0);
        vector[1] = request.at(1);
        return hexText(vector);
    };
    QCOMPARE(hexText(seen[0]),
             withId(hexBytes("12 35 01 10 00 01 00 00 00 00 00 00 20 45 42 45 4D 45 4A 45 44 45 "
                             "46 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 41 "
                             "44 00 00 20 00 01"),
                    seen[0]));
    QCOMPARE(hexText(seen[1]),
             withId(concat({hexBytes("12 34 00 00 00 01 00 00 00 00 00 00 20 43 4B 41"),
                            Bytes(29, 0x41), hexBytes("00 00 21 00 01")}),
                    seen[1]));
}

void TestNameResolver::fallsBackToTheHostLookupAfterTheConfiguredTries_data()
{
    QTest::addColumn<int>("tries");
    QTest::addColumn<bool>("hostKnown");
    QTest::newRow("one try, unknown host") << 1 << false;
    QTest::newRow("two tries, known host") << 2 << true;
    QTest::newRow("three tries, unknown host") << 3 << false;
    QTest::newRow("five tries, known host") << 5 << true;
}

void TestNameResolver::fallsBackToTheHostLookupAfterTheConfiguredTries()
{
    QFETCH(int, tries);
    QFETCH(bool, hostKnown);

    FakeNameResponder responder(kLoopback, queryScenario("silence"));
    auto spy = std::make_shared<HostLookupSpy>();
    if (hostKnown)
        spy->answer = kStranger;
    auto options = loopbackOptions(responder.port(), spy, tries, 100ms);
    options.hostLookupTimeout = 1234ms;
    NameResolver resolver(options);

    const auto result = resolver.resolve(kAlice, "Alice.example", kLoopbackTargets, usable);
    QCOMPARE(result.outcome,
             hostKnown ? NameResolver::Outcome::Found : NameResolver::Outcome::NotFound);
    if (hostKnown)
        QCOMPARE(addressText(result.address), addressText(kStranger));
    QCOMPARE(int(responder.requests().size()), tries);
    QCOMPARE(spy->calls.size(), std::size_t(1));
    QCOMPARE(spy->calls[0].first, std::string("Alice.example"));
    QCOMPARE(spy->calls[0].second.count(), 1234);
}

void TestNameResolver::queriesEveryBroadcastTarget()
{
    // Two "interfaces": the first stays silent, the second answers.
    FakeNameResponder silent(kLoopback, queryScenario("silence"));
    QVERIFY(silent.port() != 0);
    FakeNameResponder answering(
        kSecondLoopback,
        [](const Bytes& request, int) {
            return std::vector<Bytes>{aliceAnswer(idOf(request), kSecondLoopback)};
        },
        silent.port());
    QVERIFY2(answering.port() == silent.port(), "the port is taken on 127.0.0.2");

    auto spy = std::make_shared<HostLookupSpy>();
    auto options = loopbackOptions(silent.port(), spy);
    NameResolver resolver(options);
    const auto result =
        resolver.resolve(kAlice, "alice", std::vector{kLoopback, kSecondLoopback}, usable);
    QCOMPARE(result.outcome, NameResolver::Outcome::Found);
    QCOMPARE(addressText(result.address), addressText(kSecondLoopback));
    // The silent one records the request on its own thread, maybe after the answer came.
    QTRY_COMPARE_WITH_TIMEOUT(silent.requests().size(), std::size_t(1), 5000);
    QCOMPARE(answering.requests().size(), std::size_t(1));
    QCOMPARE(hexText(silent.requests()[0]), hexText(answering.requests()[0]));

    // Without targets there is no interface, and the host lookup is not asked either.
    spy->answer = kAnswered;
    QCOMPARE(resolver.resolve(kAlice, "alice", std::nullopt, usable).outcome,
             NameResolver::Outcome::NoInterface);
    QVERIFY(spy->calls.empty());
}

void TestNameResolver::findsTheMessengerNameOfAnAddress_data()
{
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < nodeStatusScenarios().size(); ++i)
        QTest::newRow(nodeStatusScenarios()[i].name) << int(i);
}

void TestNameResolver::findsTheMessengerNameOfAnAddress()
{
    QFETCH(int, index);
    const NodeStatusScenario& scenario = nodeStatusScenarios()[std::size_t(index)];
    const QString name = QString::fromLatin1(scenario.found);
    const int requests = scenario.requests;

    const Script script = nodeStatusScenario(scenario.name);
    QVERIFY(script);
    FakeNameResponder responder(kLoopback, script);
    auto spy = std::make_shared<HostLookupSpy>();
    NameResolver resolver(loopbackOptions(responder.port(), spy));

    const auto found = resolver.messengerNameOf(kLoopback);
    if (name.isEmpty()) {
        QVERIFY(!found);
    } else {
        QVERIFY(found);
        QCOMPARE(QString::fromStdString(found->trimmedName()), name);
        QCOMPARE(found->suffix(), std::uint8_t(0x03));
    }
    QCOMPARE(int(responder.requests().size()), requests);
    QVERIFY(spy->calls.empty());
}

void TestNameResolver::messengerCallsTheResolvedAddress_data()
{
    QTest::addColumn<QString>("localName");
    QTest::addColumn<std::uint32_t>("answer");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("connections");
    // Loopback answers are taken for a send to this machine's own name only.
    QTest::newRow("the receiver's address") << "ALICE" << kLoopback << 0 << 1;
    // Nobody listens there: only a refused connection, never a fall-back to another address.
    QTest::newRow("an address where nobody listens") << "alice" << kSecondLoopback << 2273 << 0;
    QTest::newRow("loopback, for another machine's name") << "testhost" << kLoopback << 2136 << 0;
    QTest::newRow("this machine's broadcast address") << "ALICE" << kNameService << 2136 << 0;
    QTest::newRow("0.0.0.0") << "ALICE" << 0u << 2136 << 0;
    QTest::newRow("multicast") << "ALICE" << 0xE0000001u << 2136 << 0;
}

void TestNameResolver::messengerCallsTheResolvedAddress()
{
    QFETCH(QString, localName);
    QFETCH(std::uint32_t, answer);
    QFETCH(int, code);
    QFETCH(int, connections);

    FakeNameResponder responder(kNameService, [answer](const Bytes& request, int) {
        return std::vector<Bytes>{aliceAnswer(idOf(request), answer)};
    });
    FakeSessionPeer peer(PeerScripts::sambaLike);
    auto spy = std::make_shared<HostLookupSpy>();
    spy->answer = answer;
    FixedBroadcasts interfaces;
    SmbMessenger messenger(localName, messengerOptions(responder.port(), peer.port(), spy),
                           &interfaces);

    QCOMPARE(sendThrough(messenger, "alice", "Hola"), code);
    QCOMPARE(peer.connectionsSoFar(), connections);
    // A refused answer is passed over: the tries and the host lookup go on.
    if (code == MessengerResult::kNetworkError)
        return;
    QVERIFY(spy->calls.empty());

    // Asked for the upper-cased messenger name, by broadcast.
    const auto seen = responder.requests();
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(hexText(questionOf(seen[0])), hexText(rawName("ALICE", 0x03)));
    QCOMPARE(hexText(Bytes(seen[0].begin() + 2, seen[0].begin() + 4)), QStringLiteral("01 10"));
    if (connections > 0) {
        const Delivery delivery = deliveryOf(peer.frames());
        QCOMPARE(delivery.called, hexText(rawName("ALICE", 0x03)));
        QCOMPARE(delivery.destination, QStringLiteral("ALICE"));
    }
}

void TestNameResolver::messengerUsesTheNameTheNodeReports_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("called");
    const auto row = [](const char* name, const char* scenario, const char* called) {
        QTest::newRow(name) << QString::fromLatin1(scenario) << QString::fromLatin1(called);
    };
    row("the node reports its table", "Samba's table", "PEERTEST");
    row("the node reports an alias first, no workstation name", "two messenger names", "PEERALIAS");
    row("the node reports aliases before its workstation name",
        "aliases listed before the workstation name", "PEERTEST");
    // Samba takes any called name, so the address itself serves.
    row("the node says nothing", "silence", "127.0.0.1");
    row("the node has no messenger name", "only other suffixes", "127.0.0.1");
}

void TestNameResolver::messengerUsesTheNameTheNodeReports()
{
    QFETCH(QString, scenario);
    QFETCH(QString, called);

    FakeNameResponder responder(kLoopback, nodeStatusScenario(scenario.toStdString()));
    FakeSessionPeer peer(PeerScripts::sambaLike);
    auto spy = std::make_shared<HostLookupSpy>();
    SmbMessenger messenger(kLocalName, messengerOptions(responder.port(), peer.port(), spy));

    QCOMPARE(sendThrough(messenger, "127.0.0.1", "Hola"), 0);
    QVERIFY(spy->calls.empty());
    const auto seen = responder.requests();
    QVERIFY(!seen.empty());
    QCOMPARE(hexText(questionOf(seen[0])), hexText(rawName("*", 0x00, 0x00)));

    const Delivery delivery = deliveryOf(peer.frames());
    QCOMPARE(delivery.called, hexText(rawName(called.toLatin1().constData(), 0x03)));
    QCOMPARE(delivery.destination, called);
}

void TestNameResolver::messengerEndsAfterTheNameQueries_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("interfaces");
    QTest::addColumn<QString>("localName");
    QTest::addColumn<std::uint32_t>("hostAnswer"); // 0: the host lookup finds nothing
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("requests"); // name queries, and one host lookup after them
    const QString garbage = QStringLiteral("only garbage and truncations");
    // The hosts file names this machine 127.0.1.1 on Debian: right for a send to itself only.
    QTest::newRow("host lookup, this machine's own name")
        << garbage << true << "Alice" << kLoopback << 0 << 3;
    QTest::newRow("host lookup, another machine's name")
        << garbage << true << "testhost" << kLoopback << 2136 << 3;
    QTest::newRow("nothing found") << "only wrong transaction ids" << true << "testhost" << 0u
                                   << MessengerResult::kNameNotFound << 3;
    QTest::newRow("no interfaces")
        << "one answer" << false << "testhost" << kLoopback << MessengerResult::kUseNotFound << 0;
}

void TestNameResolver::messengerEndsAfterTheNameQueries()
{
    QFETCH(QString, scenario);
    QFETCH(bool, interfaces);
    QFETCH(QString, localName);
    QFETCH(std::uint32_t, hostAnswer);
    QFETCH(int, code);
    QFETCH(int, requests);

    FakeNameResponder responder(kNameService, queryScenario(scenario.toStdString()));
    FakeSessionPeer peer(PeerScripts::sambaLike);
    auto spy = std::make_shared<HostLookupSpy>();
    if (hostAnswer != 0)
        spy->answer = hostAnswer;
    FixedBroadcasts broadcasts(interfaces ? std::optional(std::vector{kNameService})
                                          : std::nullopt);
    SmbMessenger messenger(localName, messengerOptions(responder.port(), peer.port(), spy),
                           &broadcasts);

    QCOMPARE(sendThrough(messenger, "alice", "Hola"), code);
    QCOMPARE(int(responder.requests().size()), requests);
    QCOMPARE(spy->calls.size(), std::size_t(requests > 0 ? 1 : 0));
    if (requests > 0)
        QCOMPARE(spy->calls[0].first, std::string("alice"));
    QCOMPARE(peer.connectionsSoFar(), code == 0 ? 1 : 0);
    if (code == 0)
        QCOMPARE(deliveryOf(peer.frames()).called, hexText(rawName("ALICE", 0x03)));
}

void TestNameResolver::messengerEndsWithinTheSendLimit()
{
    FakeNameResponder responder(kNameService, queryScenario("silence"));
    FakeSessionPeer peer(PeerScripts::sambaLike);
    auto spy = std::make_shared<HostLookupSpy>();
    spy->answer = kLoopback;
    auto options = messengerOptions(responder.port(), peer.port(), spy);
    options.resolver.tryInterval = 400ms;
    options.sendLimit = 600ms;
    FixedBroadcasts interfaces;
    SmbMessenger messenger(QStringLiteral("ALICE"), options, &interfaces);

    // The lookup's three tries alone outlast the limit: it ends there, not "not found", and
    // never reaches the host lookup. How many tries fit is the clock's business: a loaded
    // machine may wake at the limit's edge and send a last one.
    QCOMPARE(sendThrough(messenger, "alice", "Hola"), MessengerResult::kNetworkError);
    QTRY_VERIFY_WITH_TIMEOUT(!responder.requests().empty(), 5000);
    QVERIFY(responder.requests().size() <= 3);
    QVERIFY(spy->calls.empty());
    QCOMPARE(peer.connectionsSoFar(), 0);
}

// "OFICINA*": one mailslot datagram to each broadcast address, from our address there, to
// OFICINA<00>; nothing acknowledges it.
void TestNameResolver::messengerSendsTheWorkgroupDatagram()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    FixedBroadcasts interfaces(std::vector<std::uint32_t>{0x7F000001});
    SmbMessengerOptions options;
    options.datagramPort = receiver.localPort();
    SmbMessenger messenger(kLocalName, options, &interfaces);

    QCOMPARE(sendThrough(messenger, "oficina*", "Hola"), MessengerResult::kSuccess);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.hasPendingDatagrams(), 10000);
    const QByteArray received = receiver.receiveDatagram().data();
    const Bytes datagram(received.begin(), received.end());
    QCOMPARE(datagram.size(), std::size_t(170 + 22));
    QCOMPARE(hexText(Bytes(datagram.begin(), datagram.begin() + 2)), hexText(Bytes{0x11, 0x0E}));
    QCOMPARE(hexText(Bytes(datagram.begin() + 4, datagram.begin() + 12)),
             hexText(concat({be32(0x7F000001), be16(138), be16(std::uint16_t(192 - 14))})));
    QCOMPARE(hexText(Bytes(datagram.begin() + 14, datagram.begin() + 82)),
             hexText(concat(
                 {encodedName(rawName("TESTHOST", 0x00)), encodedName(rawName("OFICINA", 0x00))})));
    QCOMPARE(hexText(Bytes(datagram.end() - 22, datagram.end())),
             hexText(concat({asciiBytes("TESTHOST"), Bytes{0}, asciiBytes("OFICINA"), Bytes{0},
                             asciiBytes("Hola"), Bytes{0}})));
    QVERIFY(!receiver.hasPendingDatagrams());
}

QTEST_GUILESS_MAIN(TestNameResolver)
#include "tst_nameresolver.moc"
