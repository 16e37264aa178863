// NameHolder as scripts: each row feeds datagrams, time and interface lists, and reads back
// what the holder sends, line by line. The datagrams are built with the client's codec (a
// query as vorelin-send writes it) or by hand, and what comes out is read the same way, so
// the holder is checked against the wire and not against itself.

#include "HexBytes.h"
#include "protocol/NameServerPacket.h"
#include "protocol/NameServicePacket.h"
#include "protocol/NetworkConfig.h"
#include "service/names/NameHolder.h"

#include <QTest>

#include <deque>
#include <map>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
namespace P = NameServerPacket;

std::uint32_t ipv4(const QString& text)
{
    return NetworkConfigParser::ipv4(text.toStdString()).value_or(0);
}

QString dotted(std::uint32_t address)
{
    return QString::fromStdString(NetworkConfigParser::dotted(address));
}

NetbiosName nameOf(const QString& text)
{
    const QByteArray latin = text.toLatin1();
    return NetbiosName::fromOem(
        std::span(reinterpret_cast<const std::uint8_t*>(latin.constData()), latin.size()), 0x03);
}

QString nameText(const NetbiosName& name)
{
    return QString::fromStdString(name.trimmedName()) +
           QStringLiteral("<%1>").arg(name.suffix(), 2, 16, QLatin1Char('0'));
}

// A hand-written registration from another node (RFC 1002 4.2.2), as nmbd sends it.
Bytes claimFrom(std::uint16_t trn, const NetbiosName& name, std::uint32_t address, bool group)
{
    Bytes out = concat({Bytes{std::uint8_t(trn >> 8), std::uint8_t(trn)},
                        hexBytes("29 10 00 01 00 00 00 00 00 01 20")});
    const std::string encoded = name.firstLevel();
    out.insert(out.end(), encoded.begin(), encoded.end());
    return concat(
        {out, hexBytes("00 00 20 00 01 c0 0c 00 20 00 01 00 00 00 00 00 06"),
         Bytes{std::uint8_t(group ? 0x80 : 0), 0, std::uint8_t(address >> 24),
               std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)}});
}

class Harness
{
public:
    explicit Harness(std::vector<std::uint32_t> winsServers = {})
        : m_holder(settings(std::move(winsServers)), 0x100,
                   [this](const std::string& l) { logged.append(QString::fromStdString(l)); })
    {
        setInterfaces(QStringLiteral("lo eth0"));
    }

    static NameHolder::Settings settings(std::vector<std::uint32_t> winsServers)
    {
        NameHolder::Settings s;
        s.answersPerSecond = 100;
        s.winsServers = std::move(winsServers);
        return s;
    }

    // "lo eth0 eth1"; eth0:10.0.0.3 changes the address.
    void setInterfaces(const QString& layout)
    {
        std::vector<NameHolder::Interface> list;
        for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
            const QString name = item.section(':', 0, 0);
            NameHolder::Interface i{index(name), name.toStdString(), 0, 0, name == "lo"};
            if (i.loopback) {
                i.address = ipv4("127.0.0.1");
            } else {
                const QString net = name == "eth0" ? "10.0.0." : name == "eth1" ? "10.1.0." : "";
                i.address = item.contains(':') ? ipv4(item.section(':', 1)) : ipv4(net + "2");
                // ppp0: point-to-point, no broadcast address
                i.broadcast = net.isEmpty() ? 0 : ipv4(net + "255");
            }
            list.push_back(i);
            m_interfaces[i.index] = i;
        }
        m_holder.setInterfaces(list, m_now);
    }

    static int index(const QString& name)
    {
        return name == "lo" ? 1 : name == "eth0" ? 2 : name == "eth1" ? 3 : 4;
    }
    static std::uint32_t peer(const QString& iface)
    {
        return iface == "lo"     ? ipv4("127.0.0.1")
               : iface == "eth1" ? ipv4("10.1.0.9")
                                 : ipv4("10.0.0.9");
    }

    void receive(const QString& iface, const Bytes& bytes, std::uint16_t port = 5000)
    {
        m_holder.receive(bytes, peer(iface), port, index(iface), m_now);
    }

    void run(const QString& line)
    {
        const QStringList w = line.split(' ', Qt::SkipEmptyParts);
        const QString op = w.value(0);
        if (op == "add") {
            m_holder.addName(nameOf(w[1]), m_now);
        } else if (op == "remove") {
            m_holder.removeName(nameOf(w[1]));
        } else if (op == "shutdown") {
            m_holder.shutdown();
        } else if (op == "t") { // t MS: the clock at MS after the start, and a tick
            m_now = Clock::time_point{} + std::chrono::milliseconds(w[1].toInt());
            m_holder.tick(m_now);
        } else if (op == "ifaces") {
            setInterfaces(line.section(' ', 1));
        } else if (op == "query") { // query IFACE NAME [unicast]
            receive(w[1], NameServicePacket::encodeNameQuery(0x7001, nameOf(w[2]),
                                                             w.value(3) != "unicast"));
        } else if (op == "ask") { // ask IFACE NAME ADDRESS: a query from that address
            m_holder.receive(NameServicePacket::encodeNameQuery(0x7005, nameOf(w[2]), true),
                             ipv4(w[3]), 5000, index(w[1]), m_now);
        } else if (op == "status") { // status IFACE [NAME]
            Bytes request = NameServicePacket::encodeNodeStatusRequest(0x7002);
            if (w.size() > 2) {
                const std::string encoded = nameOf(w[2]).firstLevel();
                std::copy(encoded.begin(), encoded.end(), request.begin() + 13);
            }
            receive(w[1], request);
        } else if (op == "claim") { // claim IFACE NAME [group]
            receive(w[1], claimFrom(0x7003, nameOf(w[2]), peer(w[1]), w.value(3) == "group"));
        } else if (op == "echo") { // our own registration coming back from our address:137
            m_holder.receive(
                claimFrom(0x7004, nameOf(w[2]), m_interfaces[index(w[1])].address, false),
                m_interfaces[index(w[1])].address, 137, index(w[1]), m_now);
        } else if (op == "defend") { // defend IFACE NAME [stale|ADDRESS]: of our last claim
            const std::uint16_t trn = m_lastClaim[{w[1], w[2]}] + (w.value(3) == "stale" ? 1 : 0);
            const Bytes defence = P::encodeNegativeRegistrationResponse(
                trn, nameOf(w[2]), 0, m_interfaces[index(w[1])].address);
            if (w.value(3).contains('.'))
                m_holder.receive(defence, ipv4(w[3]), 137, index(w[1]), m_now);
            else
                receive(w[1], defence, 137);
        } else if (op == "wins") { // wins SERVER...: read when the harness is made
        } else if (op == "server") {
            // server granted|wack|refused [TTL] [FROM]: the answer to our last WINS request,
            // written out as nmbd sends it
            const std::uint32_t from = ipv4(w.value(3, QStringLiteral("10.5.0.1")));
            const std::uint32_t ttl = w.value(2, QStringLiteral("0")).toUInt();
            const bool wack = w[1] == "wack";
            Bytes answer = {std::uint8_t(m_lastWins >> 8), std::uint8_t(m_lastWins)};
            answer = concat({answer,
                             hexBytes(wack                ? "bc 00"
                                      : w[1] == "granted" ? "ad 80"
                                                          : "ad 86"),
                             hexBytes("00 00 00 01 00 00 00 00 20")});
            const std::string encoded = m_lastWinsName.firstLevel();
            answer.insert(answer.end(), encoded.begin(), encoded.end());
            answer = concat({answer, hexBytes(wack ? "00 00 0a 00 01" : "00 00 20 00 01"),
                             Bytes{std::uint8_t(ttl >> 24), std::uint8_t(ttl >> 16),
                                   std::uint8_t(ttl >> 8), std::uint8_t(ttl)},
                             hexBytes(wack ? "00 02 29 00" : "00 06 60 00 0a 00 00 02")});
            m_holder.receive(answer, from, 137, index("eth0"), m_now);
        } else if (op == "garbage") {
            receive(w[1], hexBytes("00 01 02 03 ff"));
        } else if (op == "flood") {
            // flood IFACE NAME COUNT [FIRST-SOURCE]: answers counted, not listed; with a first
            // source, each query comes from the next address
            const std::uint32_t first = w.size() > 4 ? ipv4(w[4]) : 0;
            for (int i = 0; i < w[3].toInt(); ++i) {
                const Bytes query =
                    NameServicePacket::encodeNameQuery(std::uint16_t(i), nameOf(w[2]), true);
                if (first != 0)
                    m_holder.receive(query, first + std::uint32_t(i), 5000, index(w[1]), m_now);
                else
                    receive(w[1], query);
            }
            const auto sent = m_holder.takeOutgoing();
            m_pending.push_back(QStringLiteral("%1 answers").arg(sent.size()));
        } else {
            QFAIL(qPrintable("unknown step " + line));
        }
        collect();
    }

    void collect()
    {
        for (const auto& datagram : m_holder.takeOutgoing()) {
            const auto& from = m_interfaces[datagram.interfaceIndex];
            QCOMPARE(dotted(datagram.source), dotted(from.address));
            m_pending.push_back(describe(datagram, from.name));
        }
        for (const auto& change : m_holder.takeChanges()) {
            const char* text[] = {"pending", "held", "conflict"};
            m_pending.push_back(
                QStringLiteral("! %1 %2").arg(nameText(change.name), text[int(change.status)]));
        }
    }

    QString describe(const NameHolder::Datagram& d, const std::string& iface)
    {
        const QString to = QStringLiteral(" -> %1:%2").arg(dotted(d.address)).arg(d.port);
        if (const auto answer = NameServicePacket::decodeNameQueryResponse(d.bytes))
            return QStringLiteral("answer %1 %2")
                       .arg(nameText(answer->name), dotted(answer->addresses.at(0).address)) +
                   to;
        if (const auto status = NameServicePacket::decodeNodeStatusResponse(d.bytes)) {
            QStringList names;
            for (const auto& entry : status->names)
                names << nameText(entry.name);
            return "status " + names.join(',') + to;
        }
        // To the WINS server: unicast, the refresh (0x4100) by its flags alone.
        if (d.bytes.size() > 3 && d.bytes[2] == 0x41 && d.bytes[3] == 0x00) {
            const auto asRegistration =
                P::decode(concat({Bytes(d.bytes.begin(), d.bytes.begin() + 2), hexBytes("29 00"),
                                  Bytes(d.bytes.begin() + 4, d.bytes.end())}));
            if (const auto* claim = std::get_if<P::Registration>(&*asRegistration)) {
                m_lastWins = claim->transactionId;
                m_lastWinsName = claim->name;
                return QStringLiteral("wins-refresh %1 %2")
                           .arg(nameText(claim->name), dotted(claim->address)) +
                       to;
            }
        }
        const auto packet = P::decode(d.bytes);
        if (!packet)
            return "undecodable" + to;
        if (const auto* claim = std::get_if<P::Registration>(&*packet);
            claim && !claim->broadcast) {
            m_lastWins = claim->transactionId;
            m_lastWinsName = claim->name;
            return QStringLiteral("wins-reg %1 %2")
                       .arg(nameText(claim->name), dotted(claim->address)) +
                   to;
        }
        if (const auto* release = std::get_if<P::Release>(&*packet); release && !release->broadcast)
            return QStringLiteral("wins-release %1 %2")
                       .arg(nameText(release->name), dotted(release->address)) +
                   to;
        if (const auto* claim = std::get_if<P::Registration>(&*packet)) {
            m_lastClaim[{QString::fromStdString(iface),
                         QString::fromStdString(claim->name.trimmedName())}] = claim->transactionId;
            return QStringLiteral("reg %1 %2").arg(nameText(claim->name), dotted(claim->address)) +
                   to;
        }
        if (const auto* release = std::get_if<P::Release>(&*packet))
            return QStringLiteral("release %1 %2")
                       .arg(nameText(release->name), dotted(release->address)) +
                   to;
        if (const auto* defence = std::get_if<P::NegativeRegistration>(&*packet))
            return QStringLiteral("defend %1 %2 rcode %3")
                       .arg(nameText(defence->name), dotted(defence->address))
                       .arg(defence->rcode) +
                   to;
        return "unexpected" + to;
    }

    // "> LINE" takes the next thing sent or reported; "> none" checks that nothing is left.
    void expect(const QString& line)
    {
        const QString want = line.mid(2);
        if (want == "none") {
            if (!m_pending.empty())
                QFAIL(qPrintable("unexpected: " + m_pending.front()));
            return;
        }
        QVERIFY2(!m_pending.empty(), qPrintable("nothing sent, expected: " + want));
        QCOMPARE(m_pending.front(), want);
        m_pending.pop_front();
    }

    // "? PC eth0 held" (per interface) or "? PC held" (overall).
    void check(const QString& line)
    {
        const QStringList w = line.split(' ', Qt::SkipEmptyParts);
        const char* text[] = {"pending", "held", "conflict"};
        QString got = "absent";
        const auto interface = w.size() == 4 ? std::optional(index(w[2])) : std::nullopt;
        if (const auto s = m_holder.status(nameOf(w[1]), interface))
            got = text[int(*s)];
        QCOMPARE(got, w.last());
    }

    QStringList logged;

private:
    using Clock = NameHolder::Clock;
    NameHolder m_holder;
    Clock::time_point m_now{};
    std::map<int, NameHolder::Interface> m_interfaces;
    std::map<std::pair<QString, QString>, std::uint16_t> m_lastClaim;
    std::uint16_t m_lastWins = 0;
    NetbiosName m_lastWinsName;
    std::deque<QString> m_pending;
};

// Three claims 500 ms apart from eth0, none on loopback; held 1 s after the last.
const QStringList kRegisterPc = {
    "add PC",
    "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
    "> ! PC<03> pending",
    "t 499",
    "> none",
    "t 500",
    "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
    "t 1000",
    "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
    "t 1999",
    "? PC eth0 pending",
    "t 2000",
    "> ! PC<03> held",
    "? PC eth0 held",
};

QStringList script(QStringList head, const QStringList& tail)
{
    head.append(tail);
    return head;
}

} // namespace

class TestNameHolder : public QObject
{
    Q_OBJECT

private slots:
    void followsScript_data();
    void followsScript();
};

void TestNameHolder::followsScript_data()
{
    QTest::addColumn<QStringList>("steps");
    // With a WINS server: the same claims on the segment, and the name at the server.
    const QStringList winsStart = {
        "wins 10.5.0.1", "add PC", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
        "> wins-reg PC<03> 10.0.0.2 -> 10.5.0.1:137", "> ! PC<03> pending"};
    const QStringList heldOnSegment = {"t 500",  "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                       "t 1000", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                       "t 2000", "> ! PC<03> held"};
    QTest::newRow("WINS: registered, refreshed at half the TTL, released at shutdown")
        << script(script(winsStart, {"server granted 600",
                                     "~ registered PC<03> at 10.0.0.2 with WINS server 10.5.0.1"}),
                  script(heldOnSegment,
                         {"t 299999", "t 300000", "> wins-refresh PC<03> 10.0.0.2 -> 10.5.0.1:137",
                          "server granted 600", "t 301500", "shutdown",
                          "> release PC<03> 10.0.0.2 -> 10.0.0.255:137",
                          "> wins-release PC<03> 10.0.0.2 -> 10.5.0.1:137"}));
    QTest::newRow("WINS: a WACK is waited out, and a refusal is a conflict")
        << script(script(winsStart, {"server wack 60"}),
                  script(heldOnSegment,
                         {"t 59000", "query eth0 PC", "> answer PC<03> 10.0.0.2 -> 10.0.0.9:5000",
                          "server refused", "> release PC<03> 10.0.0.2 -> 10.0.0.255:137",
                          "> ! PC<03> conflict", "~ WINS server 10.5.0.1 refused PC<03>",
                          "query eth0 PC", "? PC conflict"}));
    QTest::newRow("WINS: a silent server gets three tries, then the next one") << QStringList{
        "wins 10.5.0.1 10.5.0.2", "add PC", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
        "> wins-reg PC<03> 10.0.0.2 -> 10.5.0.1:137", "> ! PC<03> pending", "t 1500",
        "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137", "> wins-reg PC<03> 10.0.0.2 -> 10.5.0.1:137",
        "t 3000", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
        "> wins-reg PC<03> 10.0.0.2 -> 10.5.0.1:137", "t 4500",
        "> wins-reg PC<03> 10.0.0.2 -> 10.5.0.2:137", "> ! PC<03> held",
        // The right id from the wrong server is nobody's answer.
        "server granted 600 10.5.0.1", "t 6000", "> wins-reg PC<03> 10.0.0.2 -> 10.5.0.2:137",
        "server granted 600 10.5.0.2", "t 7500", "remove PC",
        "> release PC<03> 10.0.0.2 -> 10.0.0.255:137",
        "> wins-release PC<03> 10.0.0.2 -> 10.5.0.2:137"};
    QTest::newRow("registers, then answers broadcast and unicast queries") << script(
        kRegisterPc, {"query eth0 PC", "> answer PC<03> 10.0.0.2 -> 10.0.0.9:5000",
                      "query eth0 PC unicast", "> answer PC<03> 10.0.0.2 -> 10.0.0.9:5000",
                      "query eth0 OTHER", "query eth0 OTHER unicast", "> none"});
    QTest::newRow("silent while registering")
        << QStringList{"add PC",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "> ! PC<03> pending",
                       "query eth0 PC",
                       "query lo PC",
                       "status eth0",
                       "claim eth0 PC",
                       "> none"};
    QTest::newRow("loopback answers with 127.0.0.1")
        << script(kRegisterPc, {"query lo PC", "> answer PC<03> 127.0.0.1 -> 127.0.0.1:5000",
                                "status lo", "> status PC<03> -> 127.0.0.1:5000"});
    QTest::newRow("loopback alone holds at once")
        << QStringList{"ifaces lo", "add PC", "> ! PC<03> held", "query lo PC",
                       "> answer PC<03> 127.0.0.1 -> 127.0.0.1:5000"};
    QTest::newRow("defended: conflict, never answered")
        << QStringList{"add PC",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "> ! PC<03> pending",
                       "t 500",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "defend eth0 PC",
                       "> ! PC<03> conflict",
                       "t 1000",
                       "t 3000",
                       "? PC eth0 conflict",
                       "query eth0 PC",
                       "query lo PC",
                       "status eth0",
                       "claim eth0 PC",
                       "> none"};
    QTest::newRow("a defence of another transaction is ignored")
        << script(QStringList{"add PC", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                              "> ! PC<03> pending", "defend eth0 PC stale", "> none"},
                  {"t 500", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137", "t 1000",
                   "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137", "t 2000", "> ! PC<03> held"});
    QTest::newRow("a defence counts only while claiming, from the claim's subnet") << script(
        QStringList{"add PC", "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137", "> ! PC<03> pending",
                    "defend eth0 PC 192.168.7.7", "defend eth0 PC 10.0.1.9", "> none"},
        script(kRegisterPc.mid(3), {"defend eth0 PC", "> none", "? PC held", "query eth0 PC",
                                    "> answer PC<03> 10.0.0.2 -> 10.0.0.9:5000"}));
    QTest::newRow("a lost name is claimed again later, backing off")
        << QStringList{"add PC",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "> ! PC<03> pending",
                       "defend eth0 PC",
                       "> ! PC<03> conflict",
                       "~ trying again in 300 s",
                       "t 299999",
                       "> none",
                       "t 300000",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "> ! PC<03> pending",
                       "~ claiming PC<03> again",
                       "defend eth0 PC",
                       "> ! PC<03> conflict",
                       "~ trying again in 600 s",
                       "t 899999",
                       "> none",
                       "t 900000",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "> ! PC<03> pending",
                       "t 900500",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "t 901000",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "t 902000",
                       "> ! PC<03> held"};
    QTest::newRow("defends a held name, unique or group claim") << script(
        kRegisterPc, {"claim eth0 PC", "> defend PC<03> 10.0.0.9 rcode 6 -> 10.0.0.9:5000",
                      "claim eth0 PC group", "> defend PC<03> 10.0.0.9 rcode 6 -> 10.0.0.9:5000",
                      "claim eth0 OTHER", "echo eth0 PC", "> none", "? PC held"});
    QTest::newRow("node status lists held names only") << script(
        kRegisterPc,
        {"add ALICE", "> reg ALICE<03> 10.0.0.2 -> 10.0.0.255:137", "> ! ALICE<03> pending",
         "status eth0", "> status PC<03> -> 10.0.0.9:5000", "status eth0 PC",
         "> status PC<03> -> 10.0.0.9:5000", "status eth0 ALICE", "status eth0 NOBODY", "> none",
         "t 2500", "> reg ALICE<03> 10.0.0.2 -> 10.0.0.255:137", "t 3000",
         "> reg ALICE<03> 10.0.0.2 -> 10.0.0.255:137", "t 4000", "> ! ALICE<03> held",
         "status eth0", "> status PC<03>,ALICE<03> -> 10.0.0.9:5000"});
    QTest::newRow("node status lists the computer name first, then aliases as added")
        << QStringList{"ifaces lo",
                       "add PC",
                       "> ! PC<03> held",
                       "add ZOE",
                       "> ! ZOE<03> held",
                       "add ALICE",
                       "> ! ALICE<03> held",
                       "status lo",
                       "> status PC<03>,ZOE<03>,ALICE<03> -> 127.0.0.1:5000",
                       "remove ZOE",
                       "add ZOE",
                       "> ! ZOE<03> held",
                       "status lo",
                       "> status PC<03>,ALICE<03>,ZOE<03> -> 127.0.0.1:5000"};
    QTest::newRow("release on drop and at shutdown")
        << script(kRegisterPc, {"add ALICE",
                                "> reg ALICE<03> 10.0.0.2 -> 10.0.0.255:137",
                                "> ! ALICE<03> pending",
                                "remove ALICE",
                                "> none",
                                "remove PC",
                                "> release PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                "query eth0 PC",
                                "? PC absent",
                                "add PC",
                                "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                "> ! PC<03> pending",
                                "t 2500",
                                "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                "t 3000",
                                "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                "t 4000",
                                "> ! PC<03> held",
                                "shutdown",
                                "> release PC<03> 10.0.0.2 -> 10.0.0.255:137",
                                "> none"});
    QTest::newRow("each interface answers with its own address") << script(
        kRegisterPc,
        {"ifaces lo eth0 eth1", "> reg PC<03> 10.1.0.2 -> 10.1.0.255:137", "> ! PC<03> pending",
         "query eth0 PC", "> answer PC<03> 10.0.0.2 -> 10.0.0.9:5000", "query eth1 PC",
         "query lo PC", "> none", "t 2500", "> reg PC<03> 10.1.0.2 -> 10.1.0.255:137", "t 3000",
         "> reg PC<03> 10.1.0.2 -> 10.1.0.255:137", "t 4000", "> ! PC<03> held", "query eth1 PC",
         "> answer PC<03> 10.1.0.2 -> 10.1.0.9:5000"});
    QTest::newRow("re-registers when the address changes; gone interfaces are forgotten")
        << script(kRegisterPc, {"ifaces lo eth0",
                                "> none",
                                "ifaces lo eth0:10.0.0.7",
                                "> reg PC<03> 10.0.0.7 -> 10.0.0.255:137",
                                "> ! PC<03> pending",
                                "query eth0 PC",
                                "> none",
                                "t 2500",
                                "> reg PC<03> 10.0.0.7 -> 10.0.0.255:137",
                                "t 3000",
                                "> reg PC<03> 10.0.0.7 -> 10.0.0.255:137",
                                "t 4000",
                                "> ! PC<03> held",
                                "query eth0 PC",
                                "> answer PC<03> 10.0.0.7 -> 10.0.0.9:5000",
                                "ifaces lo",
                                "? PC eth0 absent",
                                "? PC held",
                                "query eth0 PC",
                                "> none"});
    QTest::newRow("a conflicted name is tried again on an address change")
        << QStringList{"add PC",
                       "> reg PC<03> 10.0.0.2 -> 10.0.0.255:137",
                       "> ! PC<03> pending",
                       "defend eth0 PC",
                       "> ! PC<03> conflict",
                       "ifaces lo eth0:10.0.0.8",
                       "> reg PC<03> 10.0.0.8 -> 10.0.0.255:137",
                       "> ! PC<03> pending"};
    QTest::newRow("interfaces without broadcast are not used")
        << QStringList{"ifaces lo ppp0", "add PC", "> ! PC<03> held", "? PC ppp0 absent"};
    QTest::newRow("malformed datagrams are dropped")
        << script(kRegisterPc, {"garbage eth0", "> none", "query eth0 PC",
                                "> answer PC<03> 10.0.0.2 -> 10.0.0.9:5000"});
    QTest::newRow("one asker's answers are limited, then recover")
        << script(kRegisterPc, {"flood eth0 PC 1000", "> 5 answers", "t 2100", "flood eth0 PC 1000",
                                "> 0 answers", "t 3100", "flood eth0 PC 1000", "> 5 answers"});
    QTest::newRow("a flood from one address leaves the others their answers") << script(
        kRegisterPc, {"flood eth0 PC 1000", "> 5 answers", "ask eth0 PC 10.0.0.10",
                      "> answer PC<03> 10.0.0.2 -> 10.0.0.10:5000", "ask eth0 PC 10.0.0.11",
                      "> answer PC<03> 10.0.0.2 -> 10.0.0.11:5000"});
    QTest::newRow("many askers: the total is bounded, defences keep a reserve")
        << script(kRegisterPc, {"flood eth0 PC 1000 10.0.1.0", "> 90 answers", "claim eth0 PC",
                                "> defend PC<03> 10.0.0.9 rcode 6 -> 10.0.0.9:5000"});
    QTest::newRow("askers beyond a full table share one pool")
        << script(kRegisterPc, {"flood eth0 PC 256 10.0.1.0", "> 90 answers", "t 3000",
                                "flood eth0 PC 1000 10.0.8.0", "> 20 answers",
                                "ask eth0 PC 10.0.1.7", "> answer PC<03> 10.0.0.2 -> 10.0.1.7:5000",
                                "t 14000", "flood eth0 PC 30 10.0.20.0", "> 30 answers"});
}

void TestNameHolder::followsScript()
{
    QFETCH(QStringList, steps);
    std::vector<std::uint32_t> winsServers;
    if (!steps.isEmpty() && steps.front().startsWith("wins "))
        for (const QString& server : steps.front().split(' ').mid(1))
            winsServers.push_back(ipv4(server));
    Harness harness(winsServers);
    harness.collect();
    for (const QString& step : steps) {
        if (step.startsWith("> "))
            harness.expect(step);
        else if (step.startsWith("~ "))
            QVERIFY2(!harness.logged.filter(step.mid(2)).isEmpty(), qPrintable(step));
        else if (step.startsWith("? "))
            harness.check(step);
        else
            harness.run(step);
        if (QTest::currentTestFailed()) {
            qInfo().noquote() << "at step:" << step << "\nlog:" << harness.logged.join('\n');
            return;
        }
    }
    harness.expect("> none");
}

QTEST_APPLESS_MAIN(TestNameHolder)
#include "tst_nameholder.moc"
