#include "HexBytes.h"
#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"
#include "protocol/MailslotDatagram.h"
#include "protocol/NameServicePacket.h"
#include "protocol/NetbiosName.h"
#include "protocol/OemText.h"
#include "protocol/SessionPacket.h"
#include "protocol/SmbMessage.h"

#include <QTest>

namespace {

using Bytes = std::vector<std::uint8_t>;

NetbiosName nameOf(const char* text, std::uint8_t suffix)
{
    const auto oem = asciiBytes(text);
    return NetbiosName::fromOem(oem, suffix);
}

// Positive name query response as nmbd sends it (flags AA RD RA), ALICE<03> at 10.77.0.1.
Bytes nameQueryResponse()
{
    return concat({
        hexBytes("12 35"),                   // NAME_TRN_ID
        hexBytes("85 80"),                   // R, AA, RD, RA
        hexBytes("00 00 00 01 00 00 00 00"), // QD 0, AN 1, NS 0, AR 0
        hexBytes("20"), asciiBytes("EBEMEJEDEFCACACACACACACACACACAAD"), hexBytes("00"),
        hexBytes("00 20 00 01"),       // NB, IN
        hexBytes("00 03 f4 80"),       // TTL
        hexBytes("00 06"),             // RDLENGTH
        hexBytes("00 00 0a 4d 00 01"), // unique B-node, 10.77.0.1
    });
}

// Node status response: three names, then the statistics (MAC and 40 more bytes).
Bytes nodeStatusResponse()
{
    Bytes table = concat({
        hexBytes("03"), asciiBytes("PEERTEST       "), hexBytes("00 04 00"), // <00> unique active
        asciiBytes("VTEST          "), hexBytes("03 84 00"),                 // <03> group active
        asciiBytes("ALICE          "), hexBytes("03 04 00"),                 // <03> unique active
    });
    table.resize(table.size() + 46, 0);
    const auto length = static_cast<std::uint16_t>(table.size());
    return concat({
        hexBytes("12 34 84 00 00 00 00 01 00 00 00 00"),
        hexBytes("20"),
        asciiBytes("CKAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"),
        hexBytes("00"),
        hexBytes("00 21 00 01 00 00 00 00"),
        Bytes{std::uint8_t(length >> 8), std::uint8_t(length)},
        table,
    });
}

// Samba's success reply to 0xD5: Flags 0x80, Flags2 0x4003, WordCount 0, ByteCount 0.
Bytes startReply(const char* status = "00 00 00 00", const char* flags2 = "03 40")
{
    return concat({hexBytes("ff 53 4d 42 d5"), hexBytes(status), hexBytes("80"), hexBytes(flags2),
                   Bytes(18, 0), hexBytes("07 00"), hexBytes("00 00 00")});
}

// The same reply as Windows sends it: WordCount 1 with the MessageGroupId.
Bytes startReplyWithGroup()
{
    return concat({hexBytes("ff 53 4d 42 d5 00 00 00 00 80 01 00"), Bytes(18, 0), hexBytes("07 00"),
                   hexBytes("01 34 12 00 00")});
}

QString capturedWorkgroupDatagram()
{
    return QString(
        "11 0e 20 01 0a 55 01 02 00 8a 00 c5 00 00 20 45 44 45 4d 45 4a 45 46 45 4f 46 45 45 42 "
        "43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 41 41 00 20 45 49 44 46 46 48 45 48 43 "
        "41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 41 41 00 ff 53 4d 42 25 "
        "00 00 00 00 18 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ff fe 00 00 00 00 11 00 "
        "00 29 00 02 00 00 00 00 00 02 00 00 00 00 00 00 00 00 00 58 00 29 00 58 00 03 00 01 00 "
        "00 00 02 00 3c 00 5c 4d 41 49 4c 53 4c 4f 54 5c 4d 45 53 53 4e 47 52 00 00 41 4c 49 43 "
        "45 00 48 35 57 47 00 48 65 6c 6c 6f 20 77 6f 72 6b 67 72 6f 75 70 20 28 74 6f 20 48 35 "
        "57 47 3c 30 30 3e 29 00");
}

// Whether the decoder for this kind of packet takes bytes: 0 name query response, 1 node status
// response, 2 SMB reply, 3 session response.
bool decodes(int kind, std::span<const std::uint8_t> bytes)
{
    switch (kind) {
    case 0:
        return NameServicePacket::decodeNameQueryResponse(bytes).has_value();
    case 1:
        return NameServicePacket::decodeNodeStatusResponse(bytes).has_value();
    case 2:
        return SmbMessage::decodeReply(bytes).has_value();
    default:
        return !bytes.empty() &&
               SessionPacket::decodeResponse(bytes[0], bytes.subspan(1)).has_value();
    }
}

} // namespace

class TestMessengerCodec : public QObject
{
    Q_OBJECT

private slots:
    void encodesFirstLevelNames_data();
    void encodesFirstLevelNames();
    void encodesRequestsLikeTheVectors_data();
    void encodesRequestsLikeTheVectors();
    void roundTripsSecondLevelNames();
    void followsCompressionPointerInAnswerName();
    void decodesNameQueryResponse();
    void decodesNodeStatusTable();
    void decodesSessionResponses();
    void decodesSmbReplies();
    void rejectsEveryTruncatedPrefix_data();
    void rejectsEveryTruncatedPrefix();
    void rejectsMalformedPackets_data();
    void rejectsMalformedPackets();
    void encodesTheWorkgroupDatagram_data();
    void encodesTheWorkgroupDatagram();
    void decodesOnlyWellFormedWorkgroupDatagrams_data();
    void decodesOnlyWellFormedWorkgroupDatagrams();
    void decodesTheServersNoSuchName_data();
    void decodesTheServersNoSuchName();
    void decodesDosAndNtStatus_data();
    void decodesDosAndNtStatus();
    void convertsToCp850_data();
    void convertsToCp850();
    void roundTripsEveryCp850Byte();
    void upperCasesWithinCp850_data();
    void upperCasesWithinCp850();
    void readerFailsPastTheEnd();
};

void TestMessengerCodec::encodesFirstLevelNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("suffix");
    QTest::addColumn<int>("pad");
    QTest::addColumn<QString>("encoded");

    QTest::newRow("FRED<20> (RFC 1002 4.1)")
        << QByteArray("FRED") << 0x20 << int(' ') << "EGFCEFEECACACACACACACACACACACACA";
    QTest::newRow("node status wildcard")
        << QByteArray("*") << 0x00 << 0 << "CKAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    QTest::newRow("ALICE<03>") << QByteArray("ALICE") << 0x03 << int(' ')
                               << "EBEMEJEDEFCACACACACACACACACACAAD";
    QTest::newRow("WORKSTATION<03>")
        << QByteArray("WORKSTATION") << 0x03 << int(' ') << "FHEPFCELFDFEEBFEEJEPEOCACACACAAD";
    QTest::newRow("MYHOST<00>") << QByteArray("MYHOST") << 0x00 << int(' ')
                                << "ENFJEIEPFDFECACACACACACACACACAAA";
}

void TestMessengerCodec::encodesFirstLevelNames()
{
    QFETCH(QByteArray, name);
    QFETCH(int, suffix);
    QFETCH(int, pad);
    QFETCH(QString, encoded);

    const Bytes oem(name.begin(), name.end());
    const auto netbios = NetbiosName::fromOem(oem, std::uint8_t(suffix), std::uint8_t(pad));
    QCOMPARE(QString::fromStdString(netbios.firstLevel()), encoded);
}

void TestMessengerCodec::encodesRequestsLikeTheVectors_data()
{
    QTest::addColumn<QString>("encoded");
    QTest::addColumn<QString>("expected");

    const auto alice = nameOf("ALICE", 0x03);
    const auto myhost = nameOf("MYHOST", 0x00);
    const auto from = asciiBytes("MYHOST");
    const auto to = asciiBytes("ALICE");
    const auto text = concat({asciiBytes("Hello"), hexBytes("14"), asciiBytes("World")});
    const QByteArray as30(30, 'A');

    QTest::newRow("session request")
        << hexText(SessionPacket::encodeSessionRequest(alice, myhost))
        << hexText(hexBytes("81 00 00 44 20 45 42 45 4D 45 4A 45 44 45 46 43 41 "
                            "43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 "
                            "41 41 44 00 20 45 4E 46 4A 45 49 45 50 46 44 46 45 "
                            "43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 "
                            "41 41 41 00"));
    QTest::newRow("node status request")
        << hexText(NameServicePacket::encodeNodeStatusRequest(0x1234))
        << hexText(concat({hexBytes("12 34 00 00 00 01 00 00 00 00 00 00 20 43 4B"),
                           asciiBytes(as30.constData()), hexBytes("00 00 21 00 01")}));
    QTest::newRow("broadcast name query")
        << hexText(NameServicePacket::encodeNameQuery(0x1235, alice, true))
        << hexText(concat({hexBytes("12 35 01 10 00 01 00 00 00 00 00 00 20"),
                           asciiBytes("EBEMEJEDEFCACACACACACACACACACAAD"),
                           hexBytes("00 00 20 00 01")}));
    QTest::newRow("0xD5 start")
        << hexText(SessionPacket::encodeSessionMessage(SmbMessage::encodeStart(from, to, 0)))
        << hexText(hexBytes("00 00 00 32 FF 53 4D 42 D5 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 | 00 | 0F 00 | 04 4D 59 "
                            "48 4F 53 54 00 04 41 4C 49 43 45 00"));
    QTest::newRow("0xD7 text")
        << hexText(SessionPacket::encodeSessionMessage(SmbMessage::encodeText(1, text, 0)))
        << hexText(concat({hexBytes("00 00 00 33 FF 53 4D 42 D7"), Bytes(27, 0),
                           hexBytes("01 | 01 00 | 0E 00 | 01 0B 00 48 65 6C 6C 6F 14 57 6F 72 "
                                    "6C 64")}));
    QTest::newRow("0xD6 end") << hexText(SessionPacket::encodeSessionMessage(
                                     SmbMessage::encodeEnd(1, 0)))
                              << hexText(concat({hexBytes("00 00 00 25 FF 53 4D 42 D6"),
                                                 Bytes(27, 0), hexBytes("01 | 01 00 | 00 00")}));
    QTest::newRow("MID goes into the header")
        << hexText(SmbMessage::encodeEnd(0, 0xBEEF))
        << hexText(concat({hexBytes("FF 53 4D 42 D6"), Bytes(25, 0), hexBytes("EF BE"),
                           hexBytes("01 00 00 00 00")}));
}

void TestMessengerCodec::encodesRequestsLikeTheVectors()
{
    QFETCH(QString, encoded);
    QFETCH(QString, expected);
    QCOMPARE(encoded, expected);
}

void TestMessengerCodec::roundTripsSecondLevelNames()
{
    // Every byte value appears in some position, suffix included.
    for (int start = 0; start < 256; start += 16) {
        std::array<std::uint8_t, 16> raw;
        for (int i = 0; i < 16; ++i)
            raw[i] = std::uint8_t(start + i);
        const NetbiosName name(raw);
        ByteWriter out;
        name.write(out);
        out.u8(0xAB); // what follows the name stays unread
        QCOMPARE(out.size(), std::size_t(35));
        ByteReader in(out.data());
        const auto decoded = NetbiosName::read(in);
        QVERIFY(decoded);
        QVERIFY(*decoded == name);
        QCOMPARE(in.u8(), std::uint8_t(0xAB));
    }
}

void TestMessengerCodec::followsCompressionPointerInAnswerName()
{
    // RR_NAME as a pointer (C0 0C) to the question name at offset 12.
    const Bytes packet = concat({
        hexBytes("12 35 85 00 00 01 00 01 00 00 00 00"),
        hexBytes("20"),
        asciiBytes("EBEMEJEDEFCACACACACACACACACACAAD"),
        hexBytes("00 00 20 00 01"),
        hexBytes("C0 0C 00 20 00 01 00 00 00 00 00 06 00 00 7F 00 00 01"),
    });
    const auto response = NameServicePacket::decodeNameQueryResponse(packet);
    QVERIFY(response);
    QVERIFY(response->name == nameOf("ALICE", 0x03));
    QCOMPARE(response->addresses.size(), std::size_t(1));
    QCOMPARE(response->addresses[0].address, 0x7F000001u);
}

void TestMessengerCodec::decodesNameQueryResponse()
{
    const auto response = NameServicePacket::decodeNameQueryResponse(nameQueryResponse());
    QVERIFY(response);
    QCOMPARE(response->transactionId, std::uint16_t(0x1235));
    QVERIFY(response->name == nameOf("ALICE", 0x03));
    QCOMPARE(response->addresses.size(), std::size_t(1));
    QCOMPARE(response->addresses[0].address, 0x0A4D0001u);
    QVERIFY(!response->addresses[0].group);
}

void TestMessengerCodec::decodesNodeStatusTable()
{
    const auto response = NameServicePacket::decodeNodeStatusResponse(nodeStatusResponse());
    QVERIFY(response);
    QCOMPARE(response->names.size(), std::size_t(3));
    QCOMPARE(response->names[1].name.trimmedName(), std::string("VTEST"));
    QVERIFY(response->names[1].isGroup());
    QCOMPARE(response->names[2].name.trimmedName(), std::string("ALICE"));
    QCOMPARE(response->names[2].name.suffix(), std::uint8_t(0x03));
    QVERIFY(response->names[2].isActive());
    QVERIFY(!response->names[2].isGroup());

    // The statistics are optional.
    Bytes shortened = nodeStatusResponse();
    shortened.resize(shortened.size() - 46);
    shortened[55] = std::uint8_t(shortened.size() - 56); // RDLENGTH low byte
    QVERIFY(NameServicePacket::decodeNodeStatusResponse(shortened));
}

void TestMessengerCodec::decodesSessionResponses()
{
    const auto positive = SessionPacket::decodeResponse(0x82, {});
    QVERIFY(positive && positive->kind == SessionPacket::Response::Kind::Positive);
    const auto negative = SessionPacket::decodeResponse(0x83, hexBytes("82"));
    QVERIFY(negative && negative->kind == SessionPacket::Response::Kind::Negative);
    QCOMPARE(negative->error, std::uint8_t(0x82));
    const auto retarget = SessionPacket::decodeResponse(0x84, hexBytes("7F 00 00 02 04 73"));
    QVERIFY(retarget && retarget->kind == SessionPacket::Response::Kind::Retarget);
    QCOMPARE(retarget->address, 0x7F000002u);
    QCOMPARE(retarget->port, std::uint16_t(1139));
    QVERIFY(!SessionPacket::decodeResponse(0x00, {}));
    QVERIFY(!SessionPacket::decodeResponse(0x85, {}));
    QVERIFY(!SessionPacket::decodeResponse(0x82, hexBytes("00")));

    const std::uint8_t extended[4] = {0x00, 0x01, 0xFF, 0xFF};
    QCOMPARE(SessionPacket::decodeHeader(extended)->length, std::uint32_t(0x1FFFF));
    const std::uint8_t reserved[4] = {0x00, 0x80, 0x00, 0x00};
    QVERIFY(!SessionPacket::decodeHeader(reserved));
}

void TestMessengerCodec::decodesSmbReplies()
{
    const auto samba = SmbMessage::decodeReply(startReply());
    QVERIFY(samba);
    QCOMPARE(samba->command, SmbMessage::kStart);
    QCOMPARE(samba->mid, std::uint16_t(7));
    QVERIFY(samba->words.empty());
    QVERIFY(samba->status.isSuccess());

    const auto windows = SmbMessage::decodeReply(startReplyWithGroup());
    QVERIFY(windows);
    QCOMPARE(windows->words.size(), std::size_t(1));
    QCOMPARE(windows->words[0], std::uint16_t(0x1234));

    Bytes request = SmbMessage::encodeEnd(1, 7);
    QVERIFY2(!SmbMessage::decodeReply(request), "a request is not a reply");
    Bytes wrongMagic = startReply();
    wrongMagic[1] = 'X';
    QVERIFY(!SmbMessage::decodeReply(wrongMagic));
}

void TestMessengerCodec::rejectsEveryTruncatedPrefix_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("packet");
    QTest::newRow("name query response") << 0 << hexText(nameQueryResponse());
    QTest::newRow("node status response") << 1 << hexText(nodeStatusResponse());
    QTest::newRow("SMB reply") << 2 << hexText(startReply());
    QTest::newRow("SMB reply with group word") << 2 << hexText(startReplyWithGroup());
    QTest::newRow("negative session response") << 3 << hexText(hexBytes("83 | 8F"));
    QTest::newRow("retarget session response") << 3 << hexText(hexBytes("84 | 7F 00 00 01 00 8B"));
}

void TestMessengerCodec::rejectsEveryTruncatedPrefix()
{
    QFETCH(int, kind);
    QFETCH(QString, packet);
    const Bytes full = hexBytes(packet.toLatin1().constData());
    QVERIFY(decodes(kind, full));
    for (std::size_t length = 0; length < full.size(); ++length)
        QVERIFY2(!decodes(kind, std::span(full).first(length)),
                 qPrintable(QString::number(length)));
}

void TestMessengerCodec::rejectsMalformedPackets_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("packet");
    QTest::addColumn<int>("offset"); // of the one byte changed; -1: as written
    QTest::addColumn<int>("value");

    // Answer names that loop, point outside the packet or are not a name.
    const char* header = "12 35 85 00 00 00 00 01 00 00 00 00 ";
    const char* rest = " 00 20 00 01 00 00 00 00 00 06 00 00 7F 00 00 01";
    const auto name = [&](const char* bytes) {
        return QString(header) + bytes + rest;
    };
    QTest::newRow("pointer to itself") << 0 << name("C0 0C") << -1 << 0;
    QTest::newRow("pointer forward") << 0 << name("C0 20") << -1 << 0;
    QTest::newRow("pointer past the end") << 0 << name("FF FF") << -1 << 0;
    QTest::newRow("reserved label bits") << 0 << name("80 0C") << -1 << 0;
    QTest::newRow("short label") << 0 << name("05 41 41 41 41 41 00") << -1 << 0;
    const QString beyondP = "20 " + hexText(asciiBytes("ZBEMEJEDEFCACACACACACACACACACAAD")) + " 00";
    QTest::newRow("letters beyond P") << 0 << name(qPrintable(beyondP)) << -1 << 0;

    // Offsets: the answer RR starts at 12; RDLENGTH at 12 + 34 + 8.
    const QString answer = hexText(nameQueryResponse());
    QTest::newRow("RDLENGTH one more") << 0 << answer << 55 << 7;
    QTest::newRow("RDLENGTH not a multiple of 6") << 0 << answer << 55 << 4;
    QTest::newRow("RDLENGTH zero") << 0 << answer << 55 << 0;
    QTest::newRow("QDCOUNT without questions") << 0 << answer << 5 << 1;
    // Whole, but no positive answer to a query.
    QTest::newRow("our own request (R bit clear)") << 0 << answer << 2 << 0x05;
    QTest::newRow("negative response, NAM_ERR") << 0 << answer << 3 << 0x83;
    QTest::newRow("WACK (opcode 7)") << 0 << answer << 2 << 0xBC;
    QTest::newRow("registration (opcode 5)") << 0 << answer << 2 << 0xAC;
    QTest::newRow("record type NBSTAT") << 0 << answer << 47 << 0x21;
    QTest::newRow("record class not IN") << 0 << answer << 49 << 0x02;
    QTest::newRow("NUM_NAMES beyond RDLENGTH") << 1 << hexText(nodeStatusResponse()) << 56 << 7;
    QTest::newRow("node status RDLENGTH beyond packet")
        << 1 << hexText(nodeStatusResponse()) << 54 << 1;
    QTest::newRow("ByteCount one more") << 2 << hexText(startReply()) << 33 << 1;
    QTest::newRow("WordCount one more") << 2 << hexText(startReply()) << 32 << 1;
    QTest::newRow("WordCount at most") << 2 << hexText(startReplyWithGroup()) << 32 << 255;
}

void TestMessengerCodec::rejectsMalformedPackets()
{
    QFETCH(int, kind);
    QFETCH(QString, packet);
    QFETCH(int, offset);
    QFETCH(int, value);
    Bytes bytes = hexBytes(packet.toLatin1().constData());
    if (offset >= 0)
        bytes.at(std::size_t(offset)) = std::uint8_t(value);
    QVERIFY(!decodes(kind, bytes));
}

// The mailslot write nmbd and tshark took (DIRECT_GROUP from CLIENTA<00> at 10.85.1.2 to
// H5WG<00>), and the size bound of its body.
void TestMessengerCodec::encodesTheWorkgroupDatagram_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected"); // empty: refused
    const QString captured = capturedWorkgroupDatagram();
    QTest::newRow("as captured") << QByteArray("Hello workgroup (to H5WG<00>)") << captured;
    // "ALICE\0H5WG\0" and the final NUL leave 412 bytes of text.
    QTest::newRow("longest text") << QByteArray(412, 'x') << QStringLiteral("<fits>");
    QTest::newRow("one byte more is refused, not cut") << QByteArray(413, 'x') << QString();
}

void TestMessengerCodec::encodesTheWorkgroupDatagram()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    MailslotDatagram::WorkgroupMessage message;
    message.datagramId = 0x2001;
    message.sourceAddress = 0x0A550102;
    message.sourceName = NetbiosName::fromOem(asciiBytes("CLIENTA"), 0x00);
    message.destination = NetbiosName::fromOem(asciiBytes("H5WG"), 0x00);
    message.from = asciiBytes("ALICE");
    message.to = asciiBytes("H5WG");
    message.text.assign(text.begin(), text.end());
    const auto datagram = MailslotDatagram::encode(message);
    QCOMPARE(datagram.has_value(), !expected.isEmpty());
    if (expected == QStringLiteral("<fits>"))
        QCOMPARE(datagram->size(), 170u + 424u);
    else if (datagram)
        QCOMPARE(*datagram, hexBytes(expected.toLatin1().constData()));
}

// What UDP 138 may bring: the capture, and what a receiver must drop.
void TestMessengerCodec::decodesOnlyWellFormedWorkgroupDatagrams_data()
{
    QTest::addColumn<int>("offset"); // -1: as captured; -2: cut to value bytes
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("text"); // empty: dropped
    const QByteArray hello("Hello workgroup (to H5WG<00>)");
    QTest::newRow("as captured") << -1 << 0 << hello;
    QTest::newRow("DIRECT_UNIQUE") << 0 << 0x10 << hello;
    QTest::newRow("mailslot name in lower case") << 0x9a << int('i') << hello;
    QTest::newRow("text without its final NUL") << 0xd2 << int('x') << QByteArray(hello + "x");
    QTest::newRow("BROADCAST") << 0 << 0x12 << QByteArray();
    QTest::newRow("more fragments (M)") << 1 << 0x0F << QByteArray();
    QTest::newRow("not the first fragment (F clear)") << 1 << 0x0C << QByteArray();
    QTest::newRow("packet offset") << 13 << 1 << QByteArray();
    QTest::newRow("DGM_LENGTH past the end") << 11 << 0xC6 << QByteArray();
    QTest::newRow("not SMB") << 0x53 << int('X') << QByteArray();
    QTest::newRow("another command") << 0x56 << 0x32 << QByteArray();
    QTest::newRow("WordCount 16") << 0x72 << 16 << QByteArray();
    QTest::newRow("SetupCount 2") << 0x8d << 2 << QByteArray();
    QTest::newRow("mailslot read, not write") << 0x8f << 2 << QByteArray();
    QTest::newRow("DataCount past the end") << 0x89 << 0x2A << QByteArray();
    QTest::newRow("DataOffset past the end") << 0x8b << 0x59 << QByteArray();
    QTest::newRow("DataOffset inside the name") << 0x8b << 0x50 << QByteArray();
    QTest::newRow("another mailslot") << 0xa0 << int('B') << QByteArray();
    QTest::newRow("sender's NUL missing") << 0xaf << int('x') << QByteArray();
    QTest::newRow("recipient's NUL missing") << 0xb4 << int('x') << QByteArray();
    QTest::newRow("empty sender") << 0xaa << 0x00 << QByteArray();
    QTest::newRow("cut in the header") << -2 << 10 << QByteArray();
    QTest::newRow("cut in the SMB") << -2 << 120 << QByteArray();
    QTest::newRow("cut in the body") << -2 << 200 << QByteArray();
}

void TestMessengerCodec::decodesOnlyWellFormedWorkgroupDatagrams()
{
    QFETCH(int, offset);
    QFETCH(int, value);
    QFETCH(QByteArray, text);
    Bytes bytes = hexBytes(capturedWorkgroupDatagram().toLatin1().constData());
    if (offset == -2)
        bytes.resize(std::size_t(value));
    else if (offset >= 0)
        bytes.at(std::size_t(offset)) = std::uint8_t(value);
    const auto received = MailslotDatagram::decode(bytes);
    QCOMPARE(received.has_value(), !text.isEmpty());
    if (!received)
        return;
    QCOMPARE(received->group, bytes[0] == 0x11);
    QCOMPARE(received->message.datagramId, 0x2001);
    QCOMPARE(received->message.sourceAddress, 0x0A550102u);
    QCOMPARE(received->message.sourceName, NetbiosName::fromOem(asciiBytes("CLIENTA"), 0));
    QCOMPARE(received->message.destination, NetbiosName::fromOem(asciiBytes("H5WG"), 0));
    QCOMPARE(received->message.from, asciiBytes("ALICE"));
    QCOMPARE(received->message.to, asciiBytes("H5WG"));
    QCOMPARE(received->message.text, Bytes(text.begin(), text.end()));
}

// A WINS server's NAM_ERR (nmbd's, for NOSUCH<03>) is a definite answer; nothing else is.
void TestMessengerCodec::decodesTheServersNoSuchName_data()
{
    QTest::addColumn<int>("offset"); // -1: as captured
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("rcode"); // 0: not a negative answer
    QTest::newRow("NAM_ERR as nmbd sends it") << -1 << 0 << 3;
    QTest::newRow("SRV_ERR") << 3 << 0x82 << 2;
    QTest::newRow("positive answer") << 3 << 0x80 << 0;
    QTest::newRow("our own query (R clear)") << 2 << 0x05 << 0;
    QTest::newRow("negative registration answer (opcode 5)") << 2 << 0xAD << 0;
    QTest::newRow("no answer record") << 7 << 0x00 << 0;
    QTest::newRow("name cut short") << 12 << 0x40 << 0;
}

void TestMessengerCodec::decodesTheServersNoSuchName()
{
    QFETCH(int, offset);
    QFETCH(int, value);
    QFETCH(int, rcode);
    Bytes bytes = hexBytes("12 03 85 83 00 00 00 01 00 00 00 00 20 45 4f 45 50 46 44 46 46 45 44 "
                           "45 49 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 43 41 41 44 00 "
                           "00 0a 00 01 00 00 00 00 00 00");
    QCOMPARE(bytes.size(), 56u);
    if (offset >= 0)
        bytes.at(std::size_t(offset)) = std::uint8_t(value);
    const auto answer = NameServicePacket::decodeNegativeNameQueryResponse(bytes);
    QCOMPARE(answer.has_value(), rcode != 0);
    if (!answer)
        return;
    QCOMPARE(answer->transactionId, 0x1203);
    QCOMPARE(answer->name, NetbiosName::fromOem(asciiBytes("NOSUCH"), 0x03));
    QCOMPARE(int(answer->rcode), rcode);
}

void TestMessengerCodec::decodesDosAndNtStatus_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("flags2");
    QTest::addColumn<int>("errorClass");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<uint>("ntStatus");

    QTest::newRow("DOS ERRDOS/71") << "01 00 47 00" << 0x0003 << 1 << 71 << 0u;
    QTest::newRow("DOS ERRSRV/0xFFFF") << "02 00 FF FF" << 0x0000 << 2 << 0xFFFF << 0u;
    QTest::newRow("NT ACCESS_DENIED") << "22 00 00 C0" << 0x4000 << 0 << 0 << 0xC0000022u;
    QTest::newRow("NT severity without the Flags2 bit")
        << "D0 00 00 C0" << 0x0000 << 0 << 0 << 0xC00000D0u;
    QTest::newRow("NT in CIFS form ERRSRV/82") << "02 00 52 00" << 0x4000 << 2 << 82 << 0x00520002u;
    QTest::newRow("success") << "00 00 00 00" << 0x4000 << 0 << 0 << 0u;
}

void TestMessengerCodec::decodesDosAndNtStatus()
{
    QFETCH(QString, status);
    QFETCH(int, flags2);
    QFETCH(int, errorClass);
    QFETCH(int, errorCode);
    QFETCH(uint, ntStatus);
    const Bytes field = hexBytes(status.toLatin1().constData());
    const auto decoded =
        SmbMessage::decodeStatus(std::span<const std::uint8_t, 4>(field.data(), 4), flags2);
    QCOMPARE(int(decoded.errorClass), errorClass);
    QCOMPARE(int(decoded.errorCode), errorCode);
    QCOMPARE(uint(decoded.ntStatus), ntStatus);
    QCOMPARE(decoded.isSuccess(), status == "00 00 00 00");
}

void TestMessengerCodec::convertsToCp850_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("message");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("replaced");

    const auto row = [](const char* name, const QString& text, bool message, const char* bytes,
                        int replaced) {
        QTest::newRow(name) << text << message << hexText(hexBytes(bytes)) << replaced;
    };
    row("Spanish letters", QString("Año ñandú"), false, "41 A4 6F 20 A4 61 6E 64 A3", 0);
    row("euro sign is missing", QString("5 €"), false, "35 20 3F", 1);
    row("pair outside the BMP is one character",
        QString::fromUtf8("a\xF0\x9F\x98\x80"
                          "b"),
        false, "61 3F 62", 1);
    row("lone surrogate", QString(QChar(0xD800)), false, "3F", 1);
    row("LF becomes CR LF", QString("a\nb"), true, "61 0D 0A 62", 0);
    row("CR becomes CR LF", QString("a\rb"), true, "61 0D 0A 62", 0);
    row("CR LF stays one break", QString("a\r\nb"), true, "61 0D 0A 62", 0);
    row("LF CR is two breaks", QString("\n\r"), true, "0D 0A 0D 0A", 0);
    row("names keep line breaks as they are", QString("a\nb"), false, "61 0A 62", 0);
    row("box drawing and symbols", QString("╬█ß±"), false, "CE DB E1 F1", 0);
    row("a question mark is no replacement", QString("¿? €"), false, "A8 3F 20 3F", 1);
}

void TestMessengerCodec::convertsToCp850()
{
    QFETCH(QString, text);
    QFETCH(bool, message);
    QFETCH(QString, expected);
    QFETCH(int, replaced);
    const std::u16string utf16 = text.toStdU16String();
    QCOMPARE(hexText(message ? OemText::messageFromUtf16(utf16) : OemText::fromUtf16(utf16)),
             expected);
    QCOMPARE(OemText::replacedCount(utf16), std::size_t(replaced));
}

void TestMessengerCodec::roundTripsEveryCp850Byte()
{
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[std::size_t(i)] = std::uint8_t(i);
    const std::u16string text = OemText::toUtf16(all);
    QCOMPARE(text.size(), std::size_t(256));
    QCOMPARE(OemText::fromUtf16(text), all);
}

void TestMessengerCodec::upperCasesWithinCp850_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("upper");
    const auto row = [](const char* name, const char* lower, const char* upper) {
        QTest::newRow(name) << QString::fromUtf8(lower) << QString::fromUtf8(upper);
    };
    row("ASCII", "alice-pc", "ALICE-PC");
    row("Spanish", "año", "AÑO");
    row("capital missing from CP850 stays lower", "ÿ", "ÿ");
    row("division sign is no letter", "÷", "÷");
    row("thorn", "þ", "Þ");
}

void TestMessengerCodec::upperCasesWithinCp850()
{
    QFETCH(QString, name);
    QFETCH(QString, upper);
    QCOMPARE(QString::fromStdU16String(OemText::upperCased(name.toStdU16String())), upper);
}

void TestMessengerCodec::readerFailsPastTheEnd()
{
    const Bytes three = hexBytes("01 02 03");
    ByteReader in(three);
    QCOMPARE(in.u16be(), std::uint16_t(0x0102));
    QCOMPARE(in.u16le(), std::uint16_t(0));
    QVERIFY(!in.ok());
    QCOMPARE(in.u8(), std::uint8_t(0)); // stays failed although one byte is left
    QVERIFY(in.bytes(0).empty());
    QCOMPARE(in.remaining(), std::size_t(0));
}

QTEST_APPLESS_MAIN(TestMessengerCodec)
#include "tst_protocolcodec.moc"
