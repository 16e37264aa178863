#include "support/WireBuilders.h"

#include "protocol/MailslotDatagram.h"
#include "protocol/OemDecoder.h"
#include "service/SessionMachine.h"
#include "service/WorkgroupReception.h"

#include <QTest>

using namespace Wire;
using Clock = SessionMachine::Clock;

namespace {

// Records what reached it; admits and accepts everything unless told otherwise.
class RecordingSink final : public MessageSink
{
public:
    Verdict admit(const ReceivedMessage&) override { return admitVerdict; }
    Verdict deliver(const ReceivedMessage& message) override
    {
        delivered.push_back(message);
        return deliverVerdict;
    }
    void refused(const ReceivedMessage&, Verdict why) override { refusals.push_back(why); }

    Verdict deliverLater(const ReceivedMessage& message, std::string& ticket) override
    {
        if (!defer)
            return deliver(message);
        delivered.push_back(message);
        ticket = "t" + std::to_string(delivered.size());
        return Verdict::Pending;
    }

    bool defer = false;
    Verdict admitVerdict = Verdict::Accepted;
    Verdict deliverVerdict = Verdict::Accepted;
    std::vector<ReceivedMessage> delivered;
    std::vector<Verdict> refusals;
};

struct Run
{
    Bytes out;
    bool closed = false;
};

Run feed(SessionMachine& machine, const Bytes& input, std::size_t chunk, Clock::time_point now)
{
    Run run;
    for (std::size_t at = 0; at < input.size() && !run.closed; at += chunk) {
        const auto piece = std::span(input).subspan(at, std::min(chunk, input.size() - at));
        auto out = machine.receive(piece, now);
        run.out = run.out + out.bytes;
        run.closed = out.close;
    }
    return run;
}

QString hex(const Bytes& bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
            .toHex(' '));
}

const Bytes kRequest = sessionRequest("VTEST");

} // namespace

Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(Verdict)

class TestSessionMachine : public QObject
{
    Q_OBJECT

private slots:
    void takesWorkgroupDatagrams_data();
    void takesWorkgroupDatagrams();
    void answersByteTables_data();
    void answersByteTables();
    void keepsNamesBoundedAndOnOneLine_data();
    void keepsNamesBoundedAndOnOneLine();
    void closesOnDeadlines_data();
    void closesOnDeadlines();
    void refusesBeyondTheLimitWithInsufficientResources();
    void answersWithThePolicyRefusal();
    void answersTheEndOnlyOnceDurable();
};

void TestSessionMachine::answersByteTables_data()
{
    QTest::addColumn<Bytes>("input");
    QTest::addColumn<Bytes>("expected");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QList<int>>("refusals");

    const Bytes a4095(4095, 'a');
    const Bytes a4096(4096, 'a');
    const auto noroom = [](std::uint8_t command) {
        return error(command, 0x02, 0x53);
    };
    const auto badOrder = [](std::uint8_t command) {
        return error(command, 0x01, 87);
    };
    const auto row = [](const char* name, const Bytes& input, const Bytes& expected, bool closes,
                        const QStringList& texts = {}, const QList<int>& refusals = {}) {
        QTest::newRow(name) << input << expected << closes << texts << refusals;
    };

    row("short message", kRequest + message(text("Hello")), kPositive + messageAccepted(5), false,
        {"Hello"});
    row("4,095 bytes delivered", kRequest + message(a4095), kPositive + messageAccepted(4095),
        false, {QString(4095, 'a')});
    {
        // 31 blocks of 128 fit (3,968); the 32nd takes it to 4,096 and is refused, and so is
        // the end, which finds no message.
        Bytes replies = kPositive + ok(0xD5, {1});
        for (int i = 0; i < 31; ++i)
            replies = replies + ok(0xD7);
        row("4,096 bytes refused, nothing delivered", kRequest + message(a4096),
            replies + noroom(0xD7) + badOrder(0xD6), false, {}, {int(Verdict::TooLong)});
    }
    row("empty text refused", kRequest + start() + end(),
        kPositive + ok(0xD5, {1}) + badOrder(0xD6), false, {}, {int(Verdict::Empty)});
    row("only NULs refused (smbclient's empty input)", kRequest + message(Bytes{0, 0}),
        kPositive + ok(0xD5, {1}) + ok(0xD7) + badOrder(0xD6), false, {}, {int(Verdict::Empty)});
    row("every line-break form, pairs left to right",
        kRequest + message(text("a\r\nb\n\rc\rd\ne\x14"
                                "f\r\n\r\ng\n\r\nh")),
        kPositive + messageAccepted(22), false, {"a\nb\nc\nd\ne\nf\n\ng\n\nh"});
    row("CP850 n tilde, a acute, u diaeresis",
        kRequest + message(Bytes{0xA4, ' ', 0xA0, ' ', 0x81}), kPositive + messageAccepted(5),
        false, {QString::fromUtf8("ñ á ü")});
    row("single block 0xD0", kRequest + single(text("one")), kPositive + ok(0xD0), false, {"one"});
    row("two messages on one session", kRequest + message(text("one")) + message(text("two")),
        kPositive + messageAccepted(3) + messageAccepted(3), false, {"one", "two"});
    row("keep-alives anywhere are dropped",
        Bytes{0x85, 0, 0, 0} + kRequest + Bytes{0x85, 0, 0, 0} + message(text("hi")),
        kPositive + messageAccepted(2), false, {"hi"});
    row("address text as called name", sessionRequest("127.0.0.1") + message(text("x")),
        kPositive + messageAccepted(1), false, {"x"});
    row("unknown called name: 0x82", sessionRequest("OTHER") + message(text("x")), negative(0x82),
        true);
    row("lower-case called name: 0x82", sessionRequest("vtest"), negative(0x82), true);
    row("*SMBSERVER<20>: 0x82", sessionRequest("*SMBSERVER", 0x20), negative(0x82), true);
    row("computer name with another suffix: 0x82", sessionRequest("VTEST", 0x20), negative(0x82),
        true);
    row("malformed session request: 0x82", frame(0x81, Bytes{0x20, 'A', 'A'}), negative(0x82),
        true);
    row("SMB before the session request: 0x8F", message(text("x")), negative(0x8F), true);
    row("text before start", kRequest + textBlock(text("x")) + end(),
        kPositive + badOrder(0xD7) + badOrder(0xD6), false);
    row("new start mid-message drops the old one",
        kRequest + start() + textBlock(text("old")) + message(text("new")),
        kPositive + ok(0xD5, {1}) + ok(0xD7) + messageAccepted(3), false, {"new"});
    row("other commands get ERRSRV/ERRsmbcmd",
        kRequest + smb(0x72, {}, Bytes{0x02, 'N', 'T', 0}) + message(text("x")),
        kPositive + error(0x72, 0x02, 0x40) + messageAccepted(1), false, {"x"});
    row("malformed start gets ERRSRV/ERRerror", kRequest + smb(0xD5, {}, Bytes{0x03, 'a', 0}),
        kPositive + error(0xD5, 0x02, 0x01), false);
    row("garbage instead of a session", text("GET / HTTP/1.0\r\n\r\n"), Bytes{}, true);
    row("garbage SMB after the session",
        kRequest + frame(0x00, text("not an SMB at all, not even close to one")), kPositive, true);
    row("oversized length", kRequest + Bytes{0x00, 0x01, 0xFF, 0xFF}, kPositive, true);
    row("second session request", kRequest + kRequest, kPositive, true);
    row("empty session message", kRequest + frame(0x00, {}), kPositive, true);
}

void TestSessionMachine::answersByteTables()
{
    QFETCH(Bytes, input);
    QFETCH(Bytes, expected);
    QFETCH(bool, closes);
    QFETCH(QStringList, texts);
    QFETCH(QList<int>, refusals);

    const NameTable names("vtest", [] { return std::vector<std::string>{"127.0.0.1"}; });
    const OemDecoder decoder;
    // Whole, and one byte at a time: the same answers.
    for (const std::size_t chunk : {input.size(), std::size_t(1)}) {
        RecordingSink sink;
        const auto now = Clock::now();
        SessionMachine machine(names, sink, decoder, "192.0.2.7", {}, now);
        const Run run = feed(machine, input, std::max<std::size_t>(chunk, 1), now);
        QCOMPARE(hex(run.out), hex(expected));
        QCOMPARE(run.closed, closes);
        QStringList got;
        for (const auto& message : sink.delivered) {
            got << QString::fromStdString(message.text);
            QCOMPARE(message.from, std::string("alice"));
            QCOMPARE(message.machine, std::string("SENDERBOX"));
            QCOMPARE(message.address, std::string("192.0.2.7"));
        }
        QCOMPARE(got, texts);
        QList<int> refused;
        for (const Verdict v : sink.refusals)
            refused << int(v);
        QCOMPARE(refused, refusals);
    }
}

void TestSessionMachine::keepsNamesBoundedAndOnOneLine_data()
{
    QTest::addColumn<Bytes>("input");
    QTest::addColumn<Bytes>("expected");
    QTest::addColumn<QString>("from"); // empty: nothing delivered
    QTest::addColumn<QString>("to");

    const std::string a255(255, 'a');
    const std::string a256(256, 'a');
    const QString bad(QChar(0xFFFD));
    QTest::newRow("line break, tab and escape in the sender")
        << kRequest + single(text("x"), "ev\ril\nA\tB\x1b\x7f") << kPositive + ok(0xD0)
        << "ev" + bad + "il" + bad + "A" + bad + "B" + bad + bad << "VTEST";
    QTest::newRow("line break in the destination")
        << kRequest + message(text("x"), "alice", "VT\r\nEST") << kPositive + messageAccepted(1)
        << "alice"
        << "VT" + bad + bad + "EST";
    QTest::newRow("255-byte sender delivered")
        << kRequest + single(text("x"), a255) << kPositive + ok(0xD0)
        << QString::fromStdString(a255) << "VTEST";
    QTest::newRow("256-byte sender in 0xD5: ERRSRV/ERRerror")
        << kRequest + start(a256) << kPositive + error(0xD5, 0x02, 0x01) << QString() << QString();
    QTest::newRow("256-byte destination in 0xD0: ERRSRV/ERRerror")
        << kRequest + single(text("x"), "alice", a256) << kPositive + error(0xD0, 0x02, 0x01)
        << QString() << QString();
    QTest::newRow("15,000-byte sender: ERRSRV/ERRerror")
        << kRequest + single(text("x"), std::string(15000, 'a'))
        << kPositive + error(0xD0, 0x02, 0x01) << QString() << QString();
}

void TestSessionMachine::keepsNamesBoundedAndOnOneLine()
{
    QFETCH(Bytes, input);
    QFETCH(Bytes, expected);
    QFETCH(QString, from);
    QFETCH(QString, to);

    const NameTable names("vtest", [] { return std::vector<std::string>{"127.0.0.1"}; });
    const OemDecoder decoder;
    RecordingSink sink;
    const auto now = Clock::now();
    SessionMachine machine(names, sink, decoder, "192.0.2.7", {}, now);
    const Run run = feed(machine, input, input.size(), now);
    QCOMPARE(hex(run.out), hex(expected));
    QCOMPARE(sink.delivered.size(), from.isEmpty() ? std::size_t(0) : std::size_t(1));
    if (!from.isEmpty()) {
        QCOMPARE(QString::fromStdString(sink.delivered[0].from), from);
        QCOMPARE(QString::fromStdString(sink.delivered[0].to), to);
    }
}

void TestSessionMachine::closesOnDeadlines_data()
{
    QTest::addColumn<Bytes>("prelude"); // at the start
    QTest::addColumn<Bytes>("input");
    QTest::addColumn<int>("feedEverySeconds"); // input repeated this often (0: once)
    QTest::addColumn<int>("closesAfterSeconds");
    QTest::addColumn<bool>("timedOutMessage");

    // idle 30 s, message 60 s
    QTest::newRow("silent before the request") << Bytes{} << Bytes{} << 0 << 30 << false;
    QTest::newRow("keep-alives are not activity")
        << Bytes{} << Bytes{0x85, 0, 0, 0} << 10 << 30 << false;
    QTest::newRow("slow drip of one request") << Bytes{} << Bytes{0x81} << 10 << 30 << false;
    QTest::newRow("other commands do not hold a place")
        << kRequest << smb(0x72, {}, {}) << 10 << 30 << false;
    QTest::newRow("a message that never ends")
        << kRequest + start() << textBlock(text("more")) << 20 << 60 << true;
    QTest::newRow("a message left silent") << kRequest + start() << Bytes{} << 0 << 30 << true;
}

void TestSessionMachine::closesOnDeadlines()
{
    QFETCH(Bytes, prelude);
    QFETCH(Bytes, input);
    QFETCH(int, feedEverySeconds);
    QFETCH(int, closesAfterSeconds);
    QFETCH(bool, timedOutMessage);

    const NameTable names("VTEST", {});
    const OemDecoder decoder;
    RecordingSink sink;
    const auto t0 = Clock::now();
    SessionMachine machine(names, sink, decoder, "192.0.2.7", {}, t0);
    QVERIFY(!feed(machine, prelude, 1 << 20, t0).closed);
    // Bounded: one step per second up to the expected close.
    for (int second = 1; second <= closesAfterSeconds; ++second) {
        const auto now = t0 + std::chrono::seconds(second);
        if (feedEverySeconds > 0 && second % feedEverySeconds == 0 && second < closesAfterSeconds)
            QVERIFY(!feed(machine, input, 1 << 20, now).closed);
        const bool due = second == closesAfterSeconds;
        QCOMPARE(machine.tick(now).close, due);
    }
    QVERIFY(machine.closed());
    QCOMPARE(sink.refusals.size(), std::size_t(timedOutMessage ? 1 : 0));
}

void TestSessionMachine::refusesBeyondTheLimitWithInsufficientResources()
{
    const NameTable names("VTEST", {});
    const OemDecoder decoder;
    RecordingSink sink;
    SessionMachine machine(names, sink, decoder, "192.0.2.7", {}, Clock::now(), 0x83);
    const Run run = feed(machine, kRequest + message(text("x")), 1 << 20, Clock::now());
    QCOMPARE(hex(run.out), hex(negative(0x83)));
    QVERIFY(run.closed);
    QVERIFY(sink.delivered.empty());
}

void TestSessionMachine::answersWithThePolicyRefusal()
{
    const NameTable names("VTEST", {});
    const OemDecoder decoder;
    RecordingSink sink;
    sink.admitVerdict = Verdict::Blocked;
    sink.deliverVerdict = Verdict::SpoolFull;
    SessionMachine machine(names, sink, decoder, "192.0.2.7", {}, Clock::now());
    const Run run = feed(machine, kRequest + start() + single(text("x")), 1 << 20, Clock::now());
    // Blocked at the start: ERRSRV/ERRmsgoff; the spool full at delivery: ERRSRV/ERRnoroom.
    QCOMPARE(hex(run.out), hex(kPositive + error(0xD5, 0x02, 0x52) + error(0xD0, 0x02, 0x53)));
}

void TestSessionMachine::answersTheEndOnlyOnceDurable()
{
    const NameTable names("VTEST", {});
    const OemDecoder decoder;
    RecordingSink sink;
    sink.defer = true;
    const auto now = Clock::now();
    SessionMachine machine(names, sink, decoder, "192.0.2.7", {}, now);
    // Two messages sent at once: the first END waits, and so does everything after it.
    const Run run =
        feed(machine, kRequest + message(text("one")) + message(text("two")), 1 << 20, now);
    QCOMPARE(hex(run.out), hex(kPositive + ok(0xD5, {1}) + ok(0xD7)));
    QCOMPARE(machine.awaitedTicket(), std::string("t1"));
    // Waiting for the disk is not idleness.
    QCOMPARE(machine.deadline(), Clock::time_point::max());
    const auto first = machine.resume(Verdict::Accepted, now);
    QCOMPARE(hex(first.bytes), hex(ok(0xD6) + ok(0xD5, {1}) + ok(0xD7)));
    QCOMPARE(machine.awaitedTicket(), std::string("t2"));
    // A failed commit reaches the sender as a failure.
    const auto second = machine.resume(Verdict::Failed, now);
    QCOMPARE(hex(second.bytes), hex(error(0xD6, 0x02, 0x41)));
    QVERIFY(!machine.awaitingDelivery());
    QCOMPARE(sink.delivered.size(), std::size_t(2));
}

// Workgroup datagrams, each "MS SOURCE ID TO[/u] TEXT" (at MS, from 10.85.2.SOURCE with
// datagram id ID, to TO<00> or, with /u, to TO<03> alone), for H5WG and FARPC with a cap of
// three a minute: what reaches the sink, as "to:text".
void TestSessionMachine::takesWorkgroupDatagrams_data()
{
    QTest::addColumn<QStringList>("datagrams");
    QTest::addColumn<QStringList>("delivered");
    QTest::newRow("to the workgroup")
        << QStringList{"0 3 1 h5wg hola"} << QStringList{"H5WG*:hola"};
    QTest::newRow("to another workgroup") << QStringList{"0 3 1 OTHER hola"} << QStringList{};
    QTest::newRow("to this machine alone")
        << QStringList{"0 3 1 FARPC/u hola", "0 3 2 OTHERPC/u hola"} << QStringList{"FARPC:hola"};
    QTest::newRow("a copy within 10 s is one message")
        << QStringList{"0 3 1 H5WG hola", "9999 3 1 H5WG hola"} << QStringList{"H5WG*:hola"};
    QTest::newRow("after 10 s it is another")
        << QStringList{"0 3 1 H5WG hola", "10000 3 1 H5WG hola"}
        << QStringList{"H5WG*:hola", "H5WG*:hola"};
    QTest::newRow("another id, source or text is another")
        << QStringList{"0 3 1 H5WG hola", "0 3 2 H5WG hola", "0 4 1 H5WG hola"}
        << QStringList{"H5WG*:hola", "H5WG*:hola", "H5WG*:hola"};
    QTest::newRow("three a minute from everyone together")
        << QStringList{"0 3 1 H5WG a", "0 4 1 H5WG b", "0 5 1 H5WG c", "0 6 1 H5WG d",
                       "60000 7 1 H5WG e"}
        << QStringList{"H5WG*:a", "H5WG*:b", "H5WG*:c", "H5WG*:e"};
    QTest::newRow("no text is nothing to show") << QStringList{"0 3 1 H5WG -"} << QStringList{};
}

void TestSessionMachine::takesWorkgroupDatagrams()
{
    QFETCH(QStringList, datagrams);
    QFETCH(QStringList, delivered);
    RecordingSink sink;
    OemDecoder decoder;
    Clock::time_point now{};
    WorkgroupReception::Options options{"H5WG", "FARPC"};
    options.messagesPerMinute = 3;
    WorkgroupReception reception(-1, options, sink, decoder, {}, [&] { return now; });
    const auto bytes = [](const QString& text) {
        const QByteArray latin = text.toLatin1();
        return std::vector<std::uint8_t>(latin.begin(), latin.end());
    };
    for (const QString& line : datagrams) {
        const QStringList w = line.split(' ');
        now = Clock::time_point{} + std::chrono::milliseconds(w[0].toInt());
        const QString to = w[3].section('/', 0, 0).toUpper();
        MailslotDatagram::WorkgroupMessage message;
        message.datagramId = std::uint16_t(w[2].toUInt());
        message.sourceName = NetbiosName::fromOem(bytes("FARTWO"), 0x00);
        message.destination = NetbiosName::fromOem(bytes(to), w[3].endsWith("/u") ? 0x03 : 0x00);
        message.from = bytes("ANA");
        message.to = bytes(to);
        message.text = w[4] == "-" ? std::vector<std::uint8_t>{} : bytes(w[4]);
        auto datagram = *MailslotDatagram::encode(message);
        if (w[3].endsWith("/u"))
            datagram[0] = 0x10; // DIRECT_UNIQUE
        reception.receive(datagram, 0x0A550200 + w[1].toUInt());
    }
    QStringList seen;
    for (const auto& message : sink.delivered)
        seen << QString::fromStdString(message.called + ":" + message.text);
    QCOMPARE(seen, delivered);
}

QTEST_APPLESS_MAIN(TestSessionMachine)
#include "tst_sessionmachine.moc"
