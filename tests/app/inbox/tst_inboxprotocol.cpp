#include "app/inbox/ServiceClient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace LocalProtocol;

// The service's line protocol as the inbox reads it: whole lines out of any chunking, a hard
// limit on a line, tolerance for what later services add, and nothing taken from a broken line.
class TestInboxProtocol : public QObject
{
    Q_OBJECT

private slots:
    void parsesServerLines_data();
    void parsesServerLines();
    void readsLinesWhateverTheChunks_data();
    void readsLinesWhateverTheChunks();
    void acknowledgementNamesTheId();
    void explainsANameTheUserCannotRelyOn_data();
    void explainsANameTheUserCannotRelyOn();
    void retriesNeverFasterNorSlowerThanTheBounds();
    void dropsAHostileServiceAndTriesAgain_data();
    void dropsAHostileServiceAndTriesAgain();
};

void TestInboxProtocol::parsesServerLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("fields"); // hello: user computer alias state; message: id from
                                             // machine address called to received text

    QTest::newRow("hello") << QByteArray(R"({"type":"hello","user":"ana","computer":"PC1"})")
                           << "hello" << QStringList{"ana", "PC1", "", ""};
    QTest::newRow("hello with alias and unknown fields")
        << QByteArray(R"({"type":"hello","user":"ana","computer":"PC1","alias":"ANA",)"
                      R"("alias_state":"conflict","waiting":3,"future":{"x":[1]}})")
        << "hello" << QStringList{"ana", "PC1", "ANA", "conflict"};
    QTest::newRow("message")
        << QByteArray(R"({"type":"message","id":"0a1","from":"PEDRO","machine":"PC-PEDRO",)"
                      R"("address":"10.0.0.7","called":"ANA","to":"ana","received":)"
                      R"("2026-12-07T14:07:27+00:00","text":"l\u00ednea 1\nl\u00ednea 2"})")
        << "message"
        << QString::fromUtf8("0a1|PEDRO|PC-PEDRO|10.0.0.7|ANA|ana|2026-12-07T14:07:27+00:00|"
                             "línea 1\nlínea 2")
               .split(QLatin1Char('|'));
    QTest::newRow("message with fields of the wrong kind")
        << QByteArray(R"({"type":"message","id":"7","from":5,"text":["x"]})") << "message"
        << QStringList{"7", "", "", "", "", "", "", ""};
    QTest::newRow("message without id cannot be acknowledged")
        << QByteArray(R"({"type":"message","text":"hola"})") << "ignored" << QStringList{};
    QTest::newRow("message with numeric id")
        << QByteArray(R"({"type":"message","id":7,"text":"hola"})") << "ignored" << QStringList{};
    QTest::newRow("unknown type") << QByteArray(R"({"type":"names","list":[]})") << "ignored"
                                  << QStringList{};
    QTest::newRow("no type") << QByteArray(R"({"id":"1"})") << "malformed" << QStringList{};
    QTest::newRow("not JSON") << QByteArray("hello") << "malformed" << QStringList{};
    QTest::newRow("cut short") << QByteArray(R"({"type":"message","id":"1","te)") << "malformed"
                               << QStringList{};
    QTest::newRow("array") << QByteArray(R"([{"type":"hello"}])") << "malformed" << QStringList{};
    QTest::newRow("invalid UTF-8")
        << QByteArray("{\"type\":\"hello\",\"user\":\"\xff\xfe\"}") << "malformed" << QStringList{};
    QTest::newRow("NUL inside") << QByteArray("{\"type\":\"hello\"}\0x", 18) << "malformed"
                                << QStringList{};
}

void TestInboxProtocol::parsesServerLines()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, kind);
    QFETCH(QStringList, fields);

    const Line event = decode(line.toStdString());
    const auto message = ServiceClient::inboxMessage(event);
    QCOMPARE(message.has_value(), kind == "message");
    if (kind == "hello") {
        QVERIFY(std::holds_alternative<Hello>(event));
        const Hello& hello = std::get<Hello>(event);
        QCOMPARE(
            (QStringList{QString::fromStdString(hello.user), QString::fromStdString(hello.computer),
                         QString::fromStdString(hello.alias),
                         QString::fromStdString(hello.aliasState)}),
            fields);
    } else if (kind == "message") {
        const InboxMessage& m = *message;
        QCOMPARE(
            (QStringList{m.id, m.from, m.machine, m.address, m.called, m.to, m.received, m.text}),
            fields);
        QVERIFY(m.unread);
    } else if (kind == "ignored") {
        QVERIFY(std::holds_alternative<Ignored>(event));
    } else {
        QVERIFY(std::holds_alternative<Malformed>(event));
    }
}

void TestInboxProtocol::readsLinesWhateverTheChunks_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qsizetype>("chunk");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<bool>("fails");

    const QByteArray longest(qsizetype(kMaxLine), 'y');
    const QByteArray fine =
        "{\"a\":1}\n\n" + QByteArray(5000, 'x') + "\n" + longest + "\nend-without-break";
    for (qsizetype chunk : {1, 2, 7, 64, 4096})
        QTest::addRow("chunks of %d", int(chunk))
            << fine << chunk << QList<QByteArray>{"{\"a\":1}", "", QByteArray(5000, 'x'), longest}
            << false;
    const QByteArray over = "{}\n" + QByteArray(qsizetype(kMaxLine) + 1, 'z');
    const qsizetype whole = over.size() + 4;
    QTest::newRow("over the limit in one piece, ended") << over + "\n{}\n"
                                                        << whole << QList<QByteArray>{"{}"} << true;
    QTest::newRow("over the limit in one piece, never ended")
        << over << whole << QList<QByteArray>{"{}"} << true;
    QTest::newRow("over the limit dripped, never ended")
        << over << qsizetype(1000) << QList<QByteArray>{"{}"} << true;
}

void TestInboxProtocol::readsLinesWhateverTheChunks()
{
    QFETCH(QByteArray, stream);
    QFETCH(qsizetype, chunk);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(bool, fails);

    LineReader reader;
    QList<QByteArray> read;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        reader.append(
            std::string_view(stream.constData(), std::size_t(stream.size())).substr(at, chunk));
        while (const auto line = reader.nextLine())
            read.append(QByteArray::fromStdString(*line));
    }
    QCOMPARE(reader.failed(), fails);
    QCOMPARE(read, lines);
    // Failed for good: even a fine line is not read after it.
    reader.append("{}\n");
    QCOMPARE(reader.nextLine().has_value(), !fails);
}

void TestInboxProtocol::acknowledgementNamesTheId()
{
    const QByteArray line = QByteArray::fromStdString(encode(Ack{"id \"with\" quotes\n"}));
    QVERIFY(line.endsWith('\n'));
    QCOMPARE(line.count('\n'), 1);
    const QJsonObject ack = QJsonDocument::fromJson(line).object();
    QCOMPARE(ack.value("type").toString(), QStringLiteral("ack"));
    QCOMPARE(ack.value("id").toString(), QStringLiteral("id \"with\" quotes\n"));
}

// The names take seconds to register, so their fate may arrive after the hello.
void TestInboxProtocol::explainsANameTheUserCannotRelyOn_data()
{
    QTest::addColumn<QString>("state");     // the alias's, in the hello
    QTest::addColumn<QByteArray>("update"); // a line after the hello, or none
    QTest::addColumn<QString>("named");     // the name the one sentence carries; empty: none

    const auto row = [](const char* name, const char* state, const QByteArray& update,
                        const char* named) {
        QTest::newRow(name) << QString::fromLatin1(state) << update << QString::fromLatin1(named);
    };
    row("held", "held", {}, "");
    row("pending", "pending", {}, "");
    row("not sent", "", {}, "");
    row("unknown state", "frobbed", {}, "");
    row("conflict", "conflict", {}, "ANAGARCIA");
    row("too long", "too-long", {}, "ANAGARCIA");
    row("unavailable", "unavailable", {}, "ANAGARCIA");
    row("alias lost later", "pending", R"({"type":"alias","alias":"ANA","alias_state":"conflict"})",
        "ANA");
    row("alias held later", "pending", R"({"type":"alias","alias":"ANA","alias_state":"held"})",
        "");
    row("computer name lost later", "pending",
        R"({"type":"computer","computer":"PC1","computer_state":"conflict"})", "PC1");
    row("computer name left to nmbd later", "pending",
        R"({"type":"computer","computer":"PC1","computer_state":"unavailable"})", "");
}

void TestInboxProtocol::explainsANameTheUserCannotRelyOn()
{
    QFETCH(QString, state);
    QFETCH(QByteArray, update);
    QFETCH(QString, named);
    Hello hello{"ana", "PC1", 0, "pending", "ANAGARCIA", state.toStdString()};
    if (!update.isEmpty()) {
        const Line event = decode(update.toStdString());
        const auto* nameUpdate = std::get_if<NameUpdate>(&event);
        QVERIFY(nameUpdate);
        LocalProtocol::apply(hello, *nameUpdate);
    }
    const QString text = ServiceClient::aliasProblem(hello);
    QCOMPARE(text.isEmpty(), named.isEmpty());
    if (!named.isEmpty()) {
        QVERIFY2(text.contains(QStringLiteral("«%1»").arg(named)), qPrintable(text));
        QCOMPARE(text.count(QLatin1Char('.')), 1); // one sentence
        QVERIFY(text.endsWith('.'));
    }
}

void TestInboxProtocol::retriesNeverFasterNorSlowerThanTheBounds()
{
    int previous = 0;
    for (int failures = 0; failures < 1000; ++failures) {
        const int delay = ServiceClient::retryDelayMs(failures);
        QVERIFY(delay >= ServiceClient::kFirstRetryMs);
        QVERIFY(delay <= ServiceClient::kMaxRetryMs);
        QVERIFY(delay >= previous);
        previous = delay;
    }
    QCOMPARE(previous, ServiceClient::kMaxRetryMs);
}

void TestInboxProtocol::dropsAHostileServiceAndTriesAgain_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("messagesKept");

    const QByteArray hello = R"({"type":"hello","user":"ana","computer":"PC1"})"
                             "\n";
    const QByteArray message = R"({"type":"message","id":"1","text":"hola"})"
                               "\n";
    QTest::newRow("garbage") << QByteArray("\x16\x03\x01garbage\n") << 0;
    QTest::newRow("a line over 64 KiB") << hello + QByteArray(qsizetype(kMaxLine) + 1, '[') << 0;
    QTest::newRow("a line over 64 KiB, ended")
        << hello + QByteArray(qsizetype(kMaxLine) + 1, ' ') + "\n" + message << 0;
    QTest::newRow("what came whole before garbage is kept") << hello + message + "}{\n" << 1;
    QTest::newRow("silence instead of hello") << QByteArray() << 0;
}

// A fake service that cannot be a real one: it sends what no vorelind would. The client drops
// it, says so, keeps what came whole, and connects again after a pause.
void TestInboxProtocol::dropsAHostileServiceAndTriesAgain()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, messagesKept);

    QTemporaryDir dir;
    QLocalServer hostile;
    QVERIFY(hostile.listen(dir.filePath("inbox.socket")));
    int connections = 0;
    QList<QLocalSocket*> peers;
    connect(&hostile, &QLocalServer::newConnection, this, [&] {
        while (QLocalSocket* peer = hostile.nextPendingConnection()) {
            ++connections;
            peers.append(peer);
            peer->write(sent);
        }
    });

    // Short protocol waits, so that a silent service costs the test little.
    ServiceClient::Options options{hostile.fullServerName(), {}};
    options.helloTimeoutMs = 200;
    options.maxRetryMs = 200;
    ServiceClient client(options);
    int kept = 0;
    int keptBeforeTheFault = -1; // the later connections keep the same again
    connect(&client, &ServiceClient::messagesReceived, this,
            [&kept](const QList<InboxMessage>& messages) { kept += int(messages.size()); });
    connect(&client, &ServiceClient::stateChanged, this, [&](ServiceClient::State state) {
        if (state == ServiceClient::State::Broken && keptBeforeTheFault < 0)
            keptBeforeTheFault = kept;
    });
    client.start();
    QTRY_VERIFY(keptBeforeTheFault >= 0);
    QCOMPARE(keptBeforeTheFault, messagesKept);
    QTRY_VERIFY(connections >= 2);
    QVERIFY(!ServiceClient::describe(ServiceClient::State::Broken, {}).isEmpty());
}

QTEST_GUILESS_MAIN(TestInboxProtocol)
#include "tst_inboxprotocol.moc"
