#include "protocol/local/Json.h"
#include "protocol/local/LocalProtocol.h"
#include "service/Inbox.h"
#include "service/Reception.h"
#include "service/Spool.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// One client's lines as parsed objects.
std::vector<Json::Value> lines(const std::string& output)
{
    std::vector<Json::Value> out;
    std::size_t start = 0;
    for (auto end = output.find('\n'); end != std::string::npos;
         start = end + 1, end = output.find('\n', start)) {
        auto value = Json::parse(std::string_view(output).substr(start, end - start));
        if (value)
            out.push_back(std::move(*value));
    }
    return out;
}

std::string type(const Json::Value& value)
{
    return value.string("type").value_or("?");
}

// A spool, the inbox and the reception in a temporary folder, with a clock the test moves.
struct Service
{
    explicit Service(Settings s = {}) : settings(std::move(s))
    {
        spool.open(error);
        inbox.setHandInSink(&reception);
    }

    ReceivedMessage network(const std::string& text, const std::string& from = "alice",
                            const std::string& address = "192.0.2.7")
    {
        return {from, "SENDERBOX", address, "VTEST", "vtest", "", text, text.size()};
    }

    // What the event loop does once the workers have synced: the batch lands.
    void commit()
    {
        for (Spool::Batch batch : {reception.takeMessages(), reception.takeRemovals(SIZE_MAX)}) {
            batch.sync();
            reception.land(batch);
        }
    }

    std::size_t spoolFiles() const
    {
        return QDir(QString::fromStdString(dir.path().toStdString() + "/spool"))
            .entryList(QDir::Files)
            .size();
    }

    QTemporaryDir dir;
    Settings settings;
    std::vector<std::string> log;
    std::string error;
    Reception::Clock::time_point now = Reception::Clock::now();
    Spool spool{dir.path().toStdString(), settings.spoolMaxMessages, settings.spoolMaxBytes};
    Inbox inbox{"VTEST", spool, [this](const std::string& line) {
                    log.push_back(line);
                }};
    Reception reception{settings, spool, inbox,
                        [this](const std::string& line) { log.push_back(line); },
                        [this] {
                            return now;
                        }};
};

} // namespace

class TestLocalDelivery : public QObject
{
    Q_OBJECT

private slots:
    void decodesStrictJson_data();
    void decodesStrictJson();
    void writesEscapedJson();
    void decodesWhatItEncodes_data();
    void decodesWhatItEncodes();
    void handsOutStoredRecords_data();
    void handsOutStoredRecords();
    void deliversToEveryClientOfTheUser();
    void keepsWaitingMessagesUntilAcknowledged();
    void handsALongBacklogOverInChunks();
    void survivesARestartInArrivalOrder();
    void acceptsHandInsOnlyFromTheAllowedAccount();
    void dropsAClientWithAnOverlongLine();
    void appliesPolicy_data();
    void appliesPolicy();
    void logsNoText();
};

void TestLocalDelivery::decodesStrictJson_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("object") << QByteArray(R"({"type":"ack","id":"00ff"})") << true;
    QTest::newRow("spaces and nesting")
        << QByteArray(R"( { "a" : [1, -2.5e3, true, null, {}] } )") << true;
    QTest::newRow("escapes and a surrogate pair")
        << QByteArray(R"({"t":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"})") << true;
    QTest::newRow("raw UTF-8") << QByteArray("{\"t\":\"\xc3\xb1\"}") << true;
    QTest::newRow("trailing comma") << QByteArray(R"({"a":"b",})") << false;
    QTest::newRow("duplicate key") << QByteArray(R"({"a":"b","a":"c"})") << false;
    QTest::newRow("trailing garbage") << QByteArray(R"({"a":"b"} x)") << false;
    QTest::newRow("control character in a string") << QByteArray("{\"a\":\"\x01\"}") << false;
    QTest::newRow("lone low surrogate") << QByteArray(R"({"a":"\udc00"})") << false;
    QTest::newRow("high surrogate without its pair") << QByteArray(R"({"a":"\ud800x"})") << false;
    QTest::newRow("invalid UTF-8") << QByteArray("{\"a\":\"\xc3\"}") << false;
    QTest::newRow("overlong UTF-8") << QByteArray("{\"a\":\"\xc0\xaf\"}") << false;
    QTest::newRow("leading zero") << QByteArray(R"({"a":01})") << false;
    QTest::newRow("single quotes") << QByteArray("{'a':'b'}") << false;
    QTest::newRow("cut short") << QByteArray(R"({"a":"b")") << false;
    QTest::newRow("nesting at the bound") << QByteArray(17, '[') + QByteArray(17, ']') << true;
    QTest::newRow("nesting one beyond") << QByteArray(18, '[') + QByteArray(18, ']') << false;
    QTest::newRow("nesting far beyond") << QByteArray(40, '[') + QByteArray(40, ']') << false;
    QTest::newRow("items without a comma") << QByteArray(R"({"a":[1 2]})") << false;
    QTest::newRow("empty") << QByteArray() << false;
    const auto members = [](int count) {
        QByteArray object = "{";
        for (int i = 0; i < count; ++i)
            object += (i ? ",\"k" : "\"k") + QByteArray::number(i) + "\":0";
        return object + "}";
    };
    QTest::newRow("64 members") << members(64) << true;
    QTest::newRow("65 members") << members(65) << false;
    QTest::newRow("5,900 members in a 64 KiB line") << members(5900) << false;
    QTest::newRow("duplicate key far apart") << members(30).chopped(1) + ",\"k3\":1}" << false;
}

void TestLocalDelivery::decodesStrictJson()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QCOMPARE(Json::parse(text.toStdString()).has_value(), valid);
}

void TestLocalDelivery::writesEscapedJson()
{
    // C1 (U+0085) and a bidi override (U+202E) are escaped too: raw, they act on a terminal.
    Json::ObjectWriter writer;
    writer.add("text", std::string("a\"\\\n\x01\x7f\xc3\xb1\xff\xc2\x85\xe2\x80\xae", 14))
        .add("n", 3u);
    const std::string text = writer.finish();
    QCOMPARE(
        QByteArray::fromStdString(text),
        QByteArray("{\"text\":\"a\\\"\\\\\\n\\u0001\\u007f\xc3\xb1\xef\xbf\xbd\\u0085\\u202e\","
                   "\"n\":3}"));
    QCOMPARE(Json::parse(text)->string("text"),
             std::optional<std::string>("a\"\\\n\x01\x7f\xc3\xb1\xef\xbf\xbd\xc2\x85\xe2\x80\xae"));
}

void TestLocalDelivery::decodesWhatItEncodes_data()
{
    namespace Wire = LocalProtocol;
    QTest::addColumn<QByteArray>("line");
    const auto row = [](const char* name, const std::string& line) {
        QTest::newRow(name) << QByteArray::fromStdString(line);
    };
    row("hello", Wire::encode(Wire::Hello{"ana", "PC1", 3, "held", "ANA", "conflict"}));
    row("hello without names", Wire::encode(Wire::Hello{"ana", "PC1", 0, {}, {}, {}}));
    row("message", Wire::encode(Wire::Message{"00ff", "a\nb", "M", "192.0.2.1", "PC1", "pc1",
                                              "2026-12-07T10:00:00+00:00", "l\u00ednea\n2"}));
    row("alias", Wire::encode(Wire::NameUpdate{false, "ANA", "too-long"}));
    row("computer", Wire::encode(Wire::NameUpdate{true, "PC1", "conflict"}));
    row("ack", Wire::encode(Wire::Ack{"00ff"}));
    row("deliver", Wire::encode(Wire::Deliver{"alice", "BOX", "hi", true}));
    row("delivered", Wire::encode(Wire::Delivered{}));
    row("refused", Wire::encode(Wire::Refused{"refused-too-long"}));
    row("error", Wire::encode(Wire::Error{"unknown type"}));
}

// Every line either side writes reads back as the same line: one definition for both.
void TestLocalDelivery::decodesWhatItEncodes()
{
    QFETCH(QByteArray, line);
    QVERIFY(line.endsWith('\n') && line.count('\n') == 1);
    const auto again = LocalProtocol::encode(LocalProtocol::decode(line.chopped(1).toStdString()));
    QCOMPARE(QByteArray::fromStdString(again), line);
}

void TestLocalDelivery::handsOutStoredRecords_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("handedOut"); // empty: damaged
    const LocalProtocol::Message message{
        "0000000000000007",          "a",       "M", "192.0.2.1", "BOB", "bob",
        "2026-12-07T10:00:00+00:00", "hi\u202e"};
    const QByteArray line = QByteArray::fromStdString(LocalProtocol::encode(message));
    const QByteArray stored = QByteArray::fromStdString(LocalProtocol::storedRecord(message));
    const QByteArray older = R"({"user":"bob","from":"a","machine":"M","address":"192.0.2.1",)"
                             R"("called":"BOB","to":"bob","received":"2026-12-07T10:00:00+00:00",)"
                             R"("text":"hi\u202e"})"
                             "\n";
    QTest::newRow("as stored") << stored << line;
    QTest::newRow("the older form") << older << line;
    QTest::newRow("the older form without its text")
        << QByteArray(older).replace(R"(,"text":"hi\u202e")", "") << QByteArray();
    QTest::newRow("cut short") << stored.left(40) << QByteArray();
    QTest::newRow("an id inside") << line << QByteArray();
    QTest::newRow("another type") << QByteArray(R"({"type":"ack","id":""})") << QByteArray();
}

void TestLocalDelivery::handsOutStoredRecords()
{
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, handedOut);
    const auto line = LocalProtocol::handOut(record.toStdString(), "0000000000000007");
    QCOMPARE(QByteArray::fromStdString(line.value_or("")), handedOut);
}

void TestLocalDelivery::deliversToEveryClientOfTheUser()
{
    Service s;
    const auto alice1 = s.inbox.connect({1000, "alice", false});
    const auto alice2 = s.inbox.connect({1000, "alice", false});
    const auto bob = s.inbox.connect({1001, "bob", false});
    for (const auto c : {alice1, alice2, bob}) {
        const auto hello = lines(s.inbox.takeOutput(c));
        QCOMPARE(hello.size(), std::size_t(1));
        QCOMPARE(type(hello[0]), std::string("hello"));
        QCOMPARE(hello[0].string("computer"), std::optional<std::string>("VTEST"));
        QCOMPARE(hello[0].unsignedNumber("waiting"), std::optional<std::uint64_t>(0));
    }
    QCOMPARE(s.reception.deliver(s.network("to the computer")), Verdict::Accepted);
    auto toAlice = s.network("to alice only");
    toAlice.user = "alice";
    QCOMPARE(s.reception.deliver(toAlice), Verdict::Accepted);

    const auto alices = lines(s.inbox.takeOutput(alice1));
    QCOMPARE(alices.size(), std::size_t(2));
    QCOMPARE(lines(s.inbox.takeOutput(alice2)).size(), std::size_t(2));
    const auto bobs = lines(s.inbox.takeOutput(bob));
    QCOMPARE(bobs.size(), std::size_t(1));
    for (const char* key : {"id", "from", "machine", "address", "called", "to", "received"})
        QVERIFY2(bobs[0].string(key).has_value(), key);
    QCOMPARE(bobs[0].string("text"), std::optional<std::string>("to the computer"));
    QCOMPARE(bobs[0].string("to"), std::optional<std::string>("vtest"));
    const std::string received = *bobs[0].string("received");
    QVERIFY2(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$)"))
                 .match(QString::fromStdString(received))
                 .hasMatch(),
             received.c_str());

    // bob may not acknowledge alice's message; his own acknowledgement removes his.
    const auto ack = [](const Json::Value& message) {
        return "{\"type\":\"ack\",\"id\":\"" + *message.string("id") + "\"}\n";
    };
    QVERIFY(s.inbox.receive(bob, ack(alices[1])));
    QCOMPARE(type(lines(s.inbox.takeOutput(bob)).at(0)), std::string("error"));
    QCOMPARE(s.spoolFiles(), std::size_t(2));
    QVERIFY(s.inbox.receive(bob, "{\"type\":\"ack\",\"id\":\"" + *bobs[0].string("id") + "\"}\n"));
    // Forgotten at once; the file goes with the next batch's folder sync.
    QCOMPARE(s.spool.count(), std::size_t(1));
    QCOMPARE(s.spoolFiles(), std::size_t(2));
    s.commit();
    QCOMPARE(s.spoolFiles(), std::size_t(1));
}

void TestLocalDelivery::keepsWaitingMessagesUntilAcknowledged()
{
    Service s;
    QCOMPARE(s.reception.deliver(s.network("first")), Verdict::Accepted);
    QCOMPARE(s.reception.deliver(s.network("second")), Verdict::Accepted);
    // Nobody was connected: the first client of any user gets both, in order.
    const auto c = s.inbox.connect({1000, "alice", false});
    auto got = lines(s.inbox.takeOutput(c));
    QCOMPARE(got.size(), std::size_t(3));
    QCOMPARE(got[0].unsignedNumber("waiting"), std::optional<std::uint64_t>(2));
    QCOMPARE(got[1].string("text"), std::optional<std::string>("first"));
    QCOMPARE(got[2].string("text"), std::optional<std::string>("second"));
    QVERIFY(s.inbox.receive(c, "{\"type\":\"ack\",\"id\":\"" + *got[1].string("id") + "\"}\n"));
    s.inbox.disconnect(c);
    // Not acknowledged: offered again.
    const auto again = s.inbox.connect({1000, "alice", false});
    got = lines(s.inbox.takeOutput(again));
    QCOMPARE(got.size(), std::size_t(2));
    QCOMPARE(got[1].string("text"), std::optional<std::string>("second"));
    // Unknown ids and bad lines get an error line, and the client stays.
    QVERIFY(s.inbox.receive(again, "{\"type\":\"ack\",\"id\":\"nope\"}\nnot json\n"));
    got = lines(s.inbox.takeOutput(again));
    QCOMPARE(got.size(), std::size_t(2));
    QCOMPARE(type(got[0]), std::string("error"));
    QCOMPARE(type(got[1]), std::string("error"));
}

void TestLocalDelivery::handsALongBacklogOverInChunks()
{
    Settings noRateLimit;
    noRateLimit.messagesPerMinute = 0;
    Service s(noRateLimit);
    const std::string text(1000, 'x');
    for (int i = 0; i < 300; ++i)
        QCOMPARE(s.reception.deliver(s.network(text + std::to_string(i))), Verdict::Accepted);
    // A client that reads slowly holds about a chunk, never the whole backlog.
    const auto c = s.inbox.connect({1000, "alice", false});
    std::vector<Json::Value> got;
    for (int take = 0; take < 100 && got.size() < 301; ++take) {
        const std::string chunk = s.inbox.takeOutput(c);
        QVERIFY(chunk.size() <= Inbox::kOutputChunk + 2 * text.size());
        for (auto& value : lines(chunk))
            got.push_back(std::move(value));
    }
    QCOMPARE(got.size(), std::size_t(301));
    QCOMPARE(got[0].unsignedNumber("waiting"), std::optional<std::uint64_t>(300));
    for (int i = 0; i < 300; ++i)
        QCOMPARE(*got[std::size_t(i) + 1].string("text"), text + std::to_string(i));
    QVERIFY(!s.inbox.hasOutput(c));
}

void TestLocalDelivery::survivesARestartInArrivalOrder()
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
    {
        Settings settings;
        Spool spool(path, 10, 1 << 20);
        std::string error;
        QVERIFY(spool.open(error));
        Inbox inbox("VTEST", spool, [](const std::string&) {});
        Reception reception(settings, spool, inbox, [](const std::string&) {});
        for (const char* text : {"one", "two", "three"}) {
            ReceivedMessage m;
            m.text = text;
            QCOMPARE(reception.deliver(m), Verdict::Accepted);
        }
    }
    // A save cut short by a crash is left as a temporary file: never a message.
    QFile cut(dir.filePath(QStringLiteral("spool/.tmp-0000000000000001")));
    QVERIFY(cut.open(QIODevice::WriteOnly));
    cut.write("{\"half");
    cut.close();
    // Nor is a FIFO named like one: opening it must not hang the start.
    QCOMPARE(::mkfifo(qPrintable(dir.filePath(QStringLiteral("spool/00000000000000ff.msg"))), 0600),
             0);

    // A message for bob as older versions named it: read once, renamed to say its recipient.
    QFile older(dir.filePath(QStringLiteral("spool/0000000000000002.msg")));
    QVERIFY(older.open(QIODevice::WriteOnly));
    older.write(R"({"user":"bob","from":"a","machine":"M","address":"192.0.2.1","called":"BOB",)"
                R"("to":"BOB","received":"2026-12-07T10:00:00+00:00","text":"older"})"
                "\n");
    older.close();

    Spool spool(path, 10, 1 << 20);
    std::string error;
    QVERIFY(spool.open(error));
    QVERIFY(!cut.exists());
    QVERIFY(!older.exists());
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("spool/0000000000000002-626f62.msg"))));
    Inbox inbox("VTEST", spool, [](const std::string&) {});
    const auto bobs = lines(inbox.takeOutput(inbox.connect({1000, "bob", false})));
    QCOMPARE(bobs.size(), std::size_t(5));
    QCOMPARE(bobs[1].string("text"), std::optional<std::string>("older"));
    const auto got = lines(inbox.takeOutput(inbox.connect({0, "root", false})));
    QCOMPARE(got.size(), std::size_t(4));
    QCOMPARE(got[1].string("text"), std::optional<std::string>("one"));
    QCOMPARE(got[2].string("text"), std::optional<std::string>("two"));
    QCOMPARE(got[3].string("text"), std::optional<std::string>("three"));
}

void TestLocalDelivery::acceptsHandInsOnlyFromTheAllowedAccount()
{
    Service s;
    const std::string handIn =
        R"({"type":"deliver","from":"ali\nce","machine":"127.0.0.1\t","text":"a\r\nb"})"
        "\n";
    const auto stranger = s.inbox.connect({1000, "mallory", false});
    s.inbox.takeOutput(stranger);
    QVERIFY(s.inbox.receive(stranger, handIn));
    auto got = lines(s.inbox.takeOutput(stranger));
    QCOMPARE(type(got.at(0)), std::string("refused"));
    QCOMPARE(s.spool.count(), std::size_t(0));

    const auto smbd = s.inbox.connect({65534, "nobody", true});
    s.inbox.takeOutput(smbd);
    QVERIFY(s.inbox.receive(smbd, handIn));
    got = lines(s.inbox.takeOutput(smbd));
    // The message itself comes to this client too (it is the computer's), then the answer.
    QCOMPARE(type(got.back()), std::string("delivered"));
    QCOMPARE(s.spool.count(), std::size_t(1));
    const auto reader = s.inbox.connect({1000, "alice", false});
    got = lines(s.inbox.takeOutput(reader));
    QCOMPARE(got.at(1).string("text"), std::optional<std::string>("a\nb"));
    QCOMPARE(got.at(1).string("address"), std::optional<std::string>(""));
    // Names are one line each: a break cannot forge a second message in a reader's output.
    QCOMPARE(got.at(1).string("from"), std::optional<std::string>("ali\xEF\xBF\xBD"
                                                                  "ce"));
    QCOMPARE(got.at(1).string("machine"), std::optional<std::string>("127.0.0.1\xEF\xBF\xBD"));

    QVERIFY(s.inbox.receive(smbd, R"({"type":"deliver","from":"a","machine":"m","text":""})"
                                  "\n"));
    QCOMPARE(type(lines(s.inbox.takeOutput(smbd)).back()), std::string("refused"));
}

void TestLocalDelivery::dropsAClientWithAnOverlongLine()
{
    Service s;
    const auto c = s.inbox.connect({1000, "alice", false});
    const std::string chunk(LocalProtocol::kMaxLine / 4, 'x');
    bool kept = true;
    for (int i = 0; i < 5 && kept; ++i)
        kept = s.inbox.receive(c, chunk);
    QVERIFY(!kept);
}

void TestLocalDelivery::appliesPolicy_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("senders"); // from@address per message
    QTest::addColumn<QList<int>>("verdicts");

    const auto row = [](const char* name, const char* setting, const char* value,
                        const QStringList& senders, const QList<Verdict>& verdicts) {
        QList<int> codes;
        for (const Verdict verdict : verdicts)
            codes << int(verdict);
        QTest::newRow(name) << setting << value << senders << codes;
    };
    const Verdict ok = Verdict::Accepted;
    row("blocked sender, any case", "blocked-senders", "Mallory, eve",
        {"MALLORY@a", "bob@a", "eve@b"}, {Verdict::Blocked, ok, Verdict::Blocked});
    row("blocked address", "blocked-addresses", "192.0.2.66", {"bob@192.0.2.66", "bob@192.0.2.67"},
        {Verdict::Blocked, ok});
    row("rate per address", "messages-per-minute", "2", {"a@x", "a@x", "a@y", "a@x", "+60", "a@x"},
        {ok, ok, ok, Verdict::RateLimited, ok});
    row("spool message cap", "spool-max-messages", "2", {"a@x", "a@y", "a@z"},
        {ok, ok, Verdict::SpoolFull});
    row("spool byte cap", "spool-max-bytes", "250", {"a@x", "a@y"}, {ok, Verdict::SpoolFull});
}

void TestLocalDelivery::appliesPolicy()
{
    QFETCH(QString, setting);
    QFETCH(QString, value);
    QFETCH(QStringList, senders);
    QFETCH(QList<int>, verdicts);

    Settings settings;
    std::string error;
    QVERIFY(SettingsParser::apply(settings, setting.toStdString(), value.toStdString(), error));
    Service s(settings);
    QList<int> got;
    for (const QString& sender : senders) {
        if (sender.startsWith(QLatin1Char('+'))) {
            s.now += std::chrono::seconds(sender.mid(1).toInt());
            continue;
        }
        const auto parts = sender.split(QLatin1Char('@'));
        got << int(s.reception.deliver(
            s.network("some text", parts[0].toStdString(), parts[1].toStdString())));
    }
    QCOMPARE(got, verdicts);
}

void TestLocalDelivery::logsNoText()
{
    Service s;
    s.reception.deliver(s.network("the secret words"));
    s.reception.refused(s.network("more secret words"), Verdict::TooLong);
    QCOMPARE(s.log.size(), std::size_t(2));
    for (const auto& line : s.log) {
        QVERIFY2(line.find("secret") == std::string::npos, line.c_str());
        QVERIFY2(line.find("from=alice machine=SENDERBOX address=192.0.2.7") != std::string::npos,
                 line.c_str());
    }
    QVERIFY(s.log[0].find("outcome=delivered") != std::string::npos);
    QVERIFY(s.log[1].find("outcome=refused-too-long") != std::string::npos);
    // A name is one field, shown as it reads: a bidi override or C1 control cannot turn it.
    s.reception.refused(s.network("x", "ev\xE2\x80\xAEil\xC2\x85 x\\y\xC3\xB1"), Verdict::Empty);
    QVERIFY2(s.log.back().find("from=ev\xEF\xBF\xBDil\xEF\xBF\xBD\\x20x\\x5cy\xC3\xB1 ") !=
                 std::string::npos,
             s.log.back().c_str());
}

QTEST_APPLESS_MAIN(TestLocalDelivery)
#include "tst_localdelivery.moc"
