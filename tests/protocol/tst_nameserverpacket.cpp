// The name holder's packets against the captured vectors: VORELINTEST<03> at 10.79.0.2, the
// other host 10.79.0.1.

#include "HexBytes.h"
#include "protocol/NameServerPacket.h"

#include <QTest>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace P = NameServerPacket;

constexpr std::uint32_t kOurs = 0x0A4F0002;
constexpr std::uint32_t kOther = 0x0A4F0001;

const char* const kVortestEncoded = "20 46 47 45 50 46 43 45 46 45 4d 45 4a 45 4f 46 45 45 46 46 "
                                    "44 46 45 43 41 43 41 43 41 43 41 41 44 00";

// ALICE<03> and GINA<03>, as the WINS captures carry them.
const char* const kAliceEncoded = "20 45 42 45 4d 45 4a 45 44 45 46 43 41 43 41 43 41 43 41 43 41 "
                                  "43 41 43 41 43 41 43 41 43 41 41 44 00";
const char* const kGinaEncoded = "20 45 48 45 4a 45 4f 45 42 43 41 43 41 43 41 43 41 43 41 43 41 "
                                 "43 41 43 41 43 41 43 41 43 41 41 44 00";

NetbiosName nameOf(const char* text, std::uint8_t suffix = 0x03)
{
    return NetbiosName::fromOem(asciiBytes(text), suffix);
}

Bytes withName(const char* head, const char* tail)
{
    return concat({hexBytes(head), hexBytes(kVortestEncoded), hexBytes(tail)});
}

// V1: NAME REGISTRATION REQUEST, broadcast, TRN 0x1234.
Bytes v1()
{
    return withName("12 34 29 10 00 01 00 00 00 00 00 01",
                    "00 20 00 01 | c0 0c 00 20 00 01 00 00 00 00 00 06 | 00 00 0a 4f 00 02");
}
// V2: NAME QUERY REQUEST, broadcast, TRN 0x2345.
Bytes v2()
{
    return withName("23 45 01 10 00 01 00 00 00 00 00 00", "00 20 00 01");
}
// V3a: POSITIVE NAME QUERY RESPONSE, 0x8500, TTL 300000.
Bytes v3a()
{
    return withName("23 45 85 00 00 00 00 01 00 00 00 00",
                    "00 20 00 01 00 04 93 e0 00 06 | 00 00 0a 4f 00 02");
}
// V4: NEGATIVE NAME REGISTRATION RESPONSE (ACT_ERR) echoing claimant 10.79.0.1, TRN 0x3456.
Bytes v4()
{
    return withName("34 56 ad 86 00 00 00 01 00 00 00 00",
                    "00 20 00 01 00 00 00 00 00 06 | 00 00 0a 4f 00 01");
}
// V5: NODE STATUS REQUEST for '*', TRN 0x4567.
Bytes v5()
{
    return hexBytes("45 67 00 00 00 01 00 00 00 00 00 00 20 43 4b 41 41 41 41 41 41 41 41 41 41 41"
                    "41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 00 00 21 00 01");
}
// V6: NODE STATUS RESPONSE, VORELINTEST<03> and ALICE<03>, both 0x0400.
Bytes v6()
{
    return concat({hexBytes("45 67 84 00 00 00 00 01 00 00 00 00 20 43 4b 41 41 41 41 41 41 41 41"
                            "41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 00"
                            "00 21 00 01 00 00 00 00 00 53 02"),
                   asciiBytes("VORELINTEST    "), hexBytes("03 04 00"),
                   asciiBytes("ALICE          "), hexBytes("03 04 00"), Bytes(46, 0)});
}
// V7: NAME RELEASE REQUEST, broadcast, TRN 0x5678.
Bytes v7()
{
    return withName("56 78 30 10 00 01 00 00 00 00 00 01",
                    "00 20 00 01 | c0 0c 00 20 00 01 00 00 00 00 00 06 | 00 00 0a 4f 00 02");
}
// V8: NAME CONFLICT DEMAND, TRN 0x6789.
Bytes v8()
{
    return withName("67 89 ad 87 00 00 00 01 00 00 00 00",
                    "00 20 00 01 00 00 00 00 00 06 | 00 00 00 00 00 00");
}

QString describe(const P::Incoming& incoming)
{
    return std::visit(
        [](const auto& packet) -> QString {
            using T = std::decay_t<decltype(packet)>;
            const QString name =
                QString::fromStdString(packet.name.trimmedName()) +
                QStringLiteral("<%1>").arg(packet.name.suffix(), 2, 16, QLatin1Char('0'));
            const QString trn = QString::number(packet.transactionId, 16);
            if constexpr (std::is_same_v<T, P::NameQuery>)
                return QStringLiteral("query %1 %2 b=%3 rd=%4")
                    .arg(trn, name)
                    .arg(packet.broadcast)
                    .arg(packet.recursionDesired);
            else if constexpr (std::is_same_v<T, P::NodeStatusRequest>)
                return QStringLiteral("status %1 %2 b=%3").arg(trn, name).arg(packet.broadcast);
            else if constexpr (std::is_same_v<T, P::NegativeRegistration>)
                return QStringLiteral("negative %1 %2 rcode=%3 flags=%4 addr=%5")
                    .arg(trn, name)
                    .arg(packet.rcode)
                    .arg(packet.nbFlags, 0, 16)
                    .arg(packet.address, 0, 16);
            else
                return QStringLiteral("%1 %2 %3 b=%4 flags=%5 addr=%6")
                    .arg(std::is_same_v<T, P::Registration> ? "register" : "release", trn, name)
                    .arg(packet.broadcast)
                    .arg(packet.nbFlags, 0, 16)
                    .arg(packet.address, 0, 16);
        },
        incoming);
}

} // namespace

class TestNameServerPacket : public QObject
{
    Q_OBJECT

private slots:
    void encodesLikeTheVectors_data();
    void encodesLikeTheVectors();
    void decodesWhatOthersSend_data();
    void decodesWhatOthersSend();
    void speaksToAWinsServer_data();
    void speaksToAWinsServer();
    void capsTheNodeStatusTable();
};

void TestNameServerPacket::encodesLikeTheVectors_data()
{
    QTest::addColumn<QString>("encoded");
    QTest::addColumn<QString>("expected");
    const NetbiosName ours = nameOf("VORELINTEST");
    const P::NodeStatusName both[] = {{ours}, {nameOf("ALICE")}};
    QTest::newRow("V1 registration")
        << hexText(P::encodeRegistrationRequest(0x1234, ours, kOurs)) << hexText(v1());
    QTest::newRow("V3a query answer")
        << hexText(P::encodePositiveQueryResponse(0x2345, ours, kOurs, 300000)) << hexText(v3a());
    QTest::newRow("V4 defence") << hexText(P::encodeNegativeRegistrationResponse(0x3456, ours,
                                                                                 0x0000, kOther))
                                << hexText(v4());
    QTest::newRow("V6 node status")
        << hexText(P::encodeNodeStatusResponse(0x4567, NetbiosName::wildcard(), both))
        << hexText(v6());
    QTest::newRow("V7 release") << hexText(P::encodeReleaseRequest(0x5678, ours, kOurs))
                                << hexText(v7());
}

void TestNameServerPacket::encodesLikeTheVectors()
{
    QFETCH(QString, encoded);
    QFETCH(QString, expected);
    QCOMPARE(encoded, expected);
}

void TestNameServerPacket::decodesWhatOthersSend_data()
{
    QTest::addColumn<QString>("packet");
    QTest::addColumn<QString>("expected"); // empty: dropped
    const auto row = [](const char* name, const Bytes& bytes, const char* expected) {
        QTest::newRow(name) << hexText(bytes) << QString::fromLatin1(expected);
    };
    row("V1 registration", v1(), "register 1234 VORELINTEST<03> b=1 flags=0 addr=a4f0002");
    row("V2 broadcast query", v2(), "query 2345 VORELINTEST<03> b=1 rd=1");
    row("V4 defence", v4(), "negative 3456 VORELINTEST<03> rcode=6 flags=0 addr=a4f0001");
    row("V5 node status", v5(), "status 4567 *<00> b=0");
    row("V7 release", v7(), "release 5678 VORELINTEST<03> b=1 flags=0 addr=a4f0002");
    row("V8 conflict demand", v8(), "negative 6789 VORELINTEST<03> rcode=7 flags=0 addr=0");

    Bytes unicastRd0 = v2();
    unicastRd0[2] = 0x00, unicastRd0[3] = 0x00;
    row("unicast query RD 0", unicastRd0, "query 2345 VORELINTEST<03> b=0 rd=0");
    Bytes groupClaim = v1();
    groupClaim[62] = 0x80;
    row("group registration", groupClaim,
        "register 1234 VORELINTEST<03> b=1 flags=8000 addr=a4f0002");

    row("a positive answer is no request", v3a(), "");
    row("node status answer", v6(), "");
    Bytes refresh = v1();
    refresh[2] = 0x40; // OPCODE 8
    row("refresh", refresh, "");
    Bytes wack = v4();
    wack[2] = 0xbc, wack[3] = 0x00; // OPCODE 7
    row("WACK", wack, "");
    Bytes positiveRegistration = v4();
    positiveRegistration[3] = 0x80;
    row("positive registration response", positiveRegistration, "");
    const Bytes otherRecordName =
        concat({withName("12 34 29 10 00 01 00 00 00 00 00 01", "00 20 00 01"), hexBytes("20"),
                asciiBytes("EBEMEJEDEFCACACACACACACACACACAAD"),
                hexBytes("00 00 20 00 01 00 00 00 00 00 06 | 00 00 0a 4f 00 02")});
    row("record naming another name", otherRecordName, "");
    Bytes longRdata = v1();
    longRdata[61] = 0x07;
    row("registration RDLENGTH 7", longRdata, "");
    Bytes twoQuestions = v2();
    twoQuestions[5] = 0x02;
    row("two questions", twoQuestions, "");
    Bytes otherType = v2();
    otherType[47] = 0x01; // type A
    row("question type A", otherType, "");
    Bytes chaos = v2();
    chaos[49] = 0x03;
    row("class CHAOS", chaos, "");
    Bytes rcodeRequest = v2();
    rcodeRequest[3] |= 0x01;
    row("request with RCODE", rcodeRequest, "");
    Bytes badLetter = v2();
    badLetter[13] = 'Z';
    row("name letter outside A-P", badLetter, "");
}

void TestNameServerPacket::decodesWhatOthersSend()
{
    QFETCH(QString, packet);
    QFETCH(QString, expected);
    const Bytes whole = hexBytes(packet.toLatin1().constData());
    const auto decoded = P::decode(whole);
    QCOMPARE(decoded ? describe(*decoded) : QString(), expected);
    // Any part of a request is dropped.
    for (std::size_t length = 0; decoded && length < whole.size(); ++length)
        QVERIFY2(!P::decode(std::span(whole.data(), length)), qPrintable(QString::number(length)));
}

void TestNameServerPacket::capsTheNodeStatusTable()
{
    const std::vector<P::NodeStatusName> many(40, P::NodeStatusName{nameOf("ALICE")});
    const Bytes packet = P::encodeNodeStatusResponse(1, NetbiosName::wildcard(), many);
    QCOMPARE(packet[56], std::uint8_t(P::kMaxNodeStatusNames));
    QVERIFY(packet.size() <= 576);
    QCOMPARE(std::size_t((packet[54] << 8) | packet[55]), packet.size() - 56);
}

// What a WINS client sends and what nmbd answered, captured (ALICE<03> at 10.85.1.2).
void TestNameServerPacket::speaksToAWinsServer_data()
{
    QTest::addColumn<int>("request"); // -1: an answer to decode
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<int>("kind"); // WinsAnswer::Kind, or -1: not an answer
    QTest::addColumn<int>("rcode");
    QTest::addColumn<int>("ttl");
    QTest::addColumn<QString>("name");
    using R = P::WinsRequest;
    using K = P::WinsAnswer::Kind;
    // Each capture is its header, the owner's name as above, then the rest.
    const auto row = [](const char* name, int request, const char* head, const char* tail, int kind,
                        int rcode, int ttl, const char* owner) {
        const char* encoded = qstrcmp(owner, "GINA") == 0 ? kGinaEncoded : kAliceEncoded;
        QTest::newRow(name) << request << QStringLiteral("%1 %2 %3").arg(head, encoded, tail)
                            << kind << rcode << ttl << QString::fromLatin1(owner);
    };
    row("registration", int(R::Registration), "10 01 29 00 00 01 00 00 00 00 00 01",
        "00 20 00 01 c0 0c 00 20 00 01 00 04 93 e0 00 06 60 00 0a 55 01 02", -1, 0, 300000,
        "ALICE");
    row("refresh, opcode 8 with RD", int(R::Refresh), "11 01 41 00 00 01 00 00 00 00 00 01",
        "00 20 00 01 c0 0c 00 20 00 01 00 04 93 e0 00 06 60 00 0a 55 01 02", -1, 0, 300000,
        "ALICE");
    row("release", int(R::Release), "13 01 30 00 00 01 00 00 00 00 00 01",
        "00 20 00 01 c0 0c 00 20 00 01 00 00 00 00 00 06 60 00 0a 55 01 02", -1, 0, 0, "ALICE");
    row("registration granted", -1, "10 01 ad 80 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 04 93 e0 00 06 60 00 0a 55 01 02", int(K::Granted), 0, 300000, "ALICE");
    row("WACK", -1, "15 02 bc 00 00 00 00 01 00 00 00 00", "00 0a 00 01 00 00 00 3c 00 02 29 00",
        int(K::Wait), 0, 60, "GINA");
    row("ACT_ERR after the challenge", -1, "15 02 ad 86 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 00 00 00 00 06 60 00 0a 55 01 03", int(K::Refused), 6, 0, "GINA");
    row("refresh granted, opcode 5", -1, "11 01 ad 80 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 04 93 e0 00 06 60 00 0a 55 01 02", int(K::Granted), 0, 300000, "ALICE");
    row("refresh refused, RFS_ERR", -1, "11 04 ad 85 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 00 00 00 00 06 60 00 0a 55 01 09", int(K::Refused), 5, 0, "ALICE");
    row("released", -1, "13 01 b4 00 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 00 00 00 00 06 60 00 0a 55 01 02", int(K::Released), 0, 0, "ALICE");
    row("release refused, NAM_ERR", -1, "13 01 b4 03 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 00 00 00 00 06 60 00 0a 55 01 02", int(K::NotReleased), 3, 0, "ALICE");
    row("a query answer is none of these", -1, "12 01 85 80 00 00 00 01 00 00 00 00",
        "00 20 00 01 00 04 93 d5 00 06 60 00 0a 55 01 02", -1, 0, 0, "ALICE");
    row("our own registration is none either", -1, "10 01 29 00 00 01 00 00 00 00 00 01",
        "00 20 00 01 c0 0c 00 20 00 01 00 04 93 e0 00 06 60 00 0a 55 01 02", -1, 0, 0, "ALICE");
}

void TestNameServerPacket::speaksToAWinsServer()
{
    QFETCH(int, request);
    QFETCH(QString, bytes);
    QFETCH(int, kind);
    QFETCH(int, rcode);
    QFETCH(int, ttl);
    QFETCH(QString, name);
    const Bytes captured = hexBytes(bytes.toLatin1().constData());
    const NetbiosName alice = nameOf("ALICE");
    if (request >= 0) {
        const std::uint16_t id = captured[0] << 8 | captured[1];
        QCOMPARE(P::encodeWinsRequest(P::WinsRequest(request), id, alice, 0x0A550102,
                                      std::uint32_t(ttl)),
                 captured);
        return;
    }
    const auto answer = P::decodeWinsAnswer(captured);
    QCOMPARE(answer.has_value(), kind >= 0);
    if (!answer)
        return;
    QCOMPARE(int(answer->kind), kind);
    QCOMPARE(int(answer->rcode), rcode);
    QCOMPARE(answer->ttl, std::uint32_t(ttl));
    QCOMPARE(answer->transactionId, std::uint16_t(captured[0] << 8 | captured[1]));
    QCOMPARE(QString::fromStdString(answer->name.trimmedName()), name);
}

QTEST_APPLESS_MAIN(TestNameServerPacket)
#include "tst_nameserverpacket.moc"
