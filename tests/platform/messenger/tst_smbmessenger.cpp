#include "HexBytes.h"
#include "platform/messenger/AddressPolicy.h"
#include "platform/messenger/MessengerResult.h"
#include "platform/messenger/SessionClient.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/messenger/TcpConnection.h"
#include "protocol/OemText.h"
#include "support/FakeSessionPeer.h"
#include "support/MessengerCall.h"
#include "support/PeerScripts.h"

#include <QHostAddress>
#include <QTest>

#include <cerrno>
#include <future>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>

using namespace PeerScripts;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
const QString kLocalName = QStringLiteral("testhost");

SmbMessengerOptions peerOptions(std::uint16_t port, std::chrono::milliseconds reply = 1500ms,
                                std::chrono::milliseconds connect = 1500ms)
{
    SmbMessengerOptions options;
    options.address = kLoopback;
    options.sessionPort = port;
    options.timeouts.connect = connect;
    options.timeouts.reply = reply;
    return options;
}

Bytes smbBytes(const PeerFrame& frame, std::size_t from)
{
    return from <= frame.body.size()
               ? Bytes(frame.body.begin() + std::ptrdiff_t(from), frame.body.end())
               : Bytes();
}

std::uint16_t wordAt(const Bytes& body, std::size_t offset)
{
    return std::uint16_t(body.at(offset) | (body.at(offset + 1) << 8));
}

// The text that 0xD7 frames carried, in order.
Bytes textOf(const std::vector<PeerFrame>& frames, std::vector<std::size_t>* blockSizes = nullptr)
{
    Bytes text;
    for (const PeerFrame& frame : frames) {
        if (commandOf(frame) != 0xD7)
            continue;
        const std::size_t length = wordAt(frame.body, 38);
        if (blockSizes)
            blockSizes->push_back(length);
        const Bytes data = smbBytes(frame, 40);
        text.insert(text.end(), data.begin(), data.end());
    }
    return text;
}

// A peer's conversation and the result code a send to it ends with.
struct Scenario
{
    const char* name;
    int code;
    FakeSessionPeer::Script script;
};

enum class Then
{
    Silence,
    Close,
    Reset
};

// A peer that answers as Samba the first frames it is sent (the session request, then SMBs),
// reads one more, sends bytes and then falls silent or ends the connection.
FakeSessionPeer::Script stopsAfter(int answered, Then then, const Bytes& bytes = {})
{
    return [=](PeerConnection& c) {
        if (answered > 0)
            acceptSession(c);
        for (int i = 1; i < answered; ++i)
            if (const auto request = c.readFrame())
                c.send(successFor(*request));
        c.readFrame();
        if (!bytes.empty())
            c.send(bytes);
        if (then == Then::Silence)
            c.waitForClientClose();
        else if (then == Then::Reset)
            c.reset();
    };
}

// A peer that answers the session request with a negative response and nothing more.
FakeSessionPeer::Script negativeSession(const char* lengthAndCode)
{
    return stopsAfter(0, Then::Close, concat({hexBytes("83 00 00"), hexBytes(lengthAndCode)}));
}

// A peer that accepts the session and answers every SMB with answer(request).
template <typename Answer> FakeSessionPeer::Script repliesWith(Answer answer)
{
    return [answer](PeerConnection& c) {
        acceptSession(c);
        answerEach(c, answer);
    };
}

const std::vector<Scenario>& scenarios()
{
    static const std::vector<Scenario> all = {
        {"samba-like", 0, sambaLike},
        {"start reply with a group word", 0, repliesWith([](const PeerFrame& r) {
             return commandOf(r) == 0xD5 ? reply(0xD5, midOf(r), 0, 0x0001, {0x1234})
                                         : successFor(r);
         })},
        {"keep-alive before every reply", 0,
         [](PeerConnection& c) {
             if (c.readFrame())
                 c.send(hexBytes("85 00 00 00 82 00 00 00"));
             answerEach(c, [](const PeerFrame& r) {
                 return concat({hexBytes("85 00 00 00"), successFor(r), hexBytes("85 00 00 00")});
             });
         }},
        {"silence after accept", 2136, stopsAfter(0, Then::Silence)},
        {"silence after session", 2136, stopsAfter(1, Then::Silence)},
        {"closed at the first message command (SMB1 off)", 50, stopsAfter(1, Then::Close)},
        {"reset at the first message command", 50, stopsAfter(1, Then::Reset)},
        {"closed after the start reply", 2136, stopsAfter(2, Then::Close)},
        {"reset mid-exchange", 2136, stopsAfter(2, Then::Reset)},
        {"silence after the start reply", 2136, stopsAfter(2, Then::Silence)},
        {"closed before the session response", 2136, stopsAfter(0, Then::Close)},
        {"keep-alive, then closed before the session response", 2136,
         stopsAfter(0, Then::Close, hexBytes("85 00 00 00"))},
        {"garbage: text instead of a session response", 2136,
         stopsAfter(0, Then::Silence, asciiBytes("HTTP/1.1 400 Bad Request\r\n\r\n"))},
        {"session message instead of a session response", 2136,
         stopsAfter(0, Then::Silence, reply(0xD5, 1))},
        {"garbage session message", 2136,
         stopsAfter(1, Then::Silence, hexBytes("00 00 00 05 01 02 03 04 05"))},
        {"oversized frame length", 2136,
         stopsAfter(1, Then::Silence, concat({hexBytes("00 01 FF FF"), Bytes(1000, 0x41)}))},
        {"second session response instead of a reply", 2136,
         stopsAfter(1, Then::Silence, hexBytes("82 00 00 00"))},
        {"reply to another command", 2136,
         repliesWith([](const PeerFrame& r) { return reply(0xD6, midOf(r)); })},
        {"reply with another MID", 2136, repliesWith([](const PeerFrame& r) {
             return reply(commandOf(r), std::uint16_t(midOf(r) + 1));
         })},
        {"reply without the reply flag", 2136, repliesWith([](const PeerFrame& r) {
             return reply(commandOf(r), midOf(r), 0, 0x4003, {}, 0x00);
         })},
        {"negative session 0x80 (not listening on called name)", 2136, negativeSession("01 80")},
        {"negative session 0x81 (not listening for calling name)", 2136, negativeSession("01 81")},
        {"negative session 0x82 (called name not present)", 2273, negativeSession("01 82")},
        {"negative session 0x83 (insufficient resources)", 2136, negativeSession("01 83")},
        {"negative session 0x8F (unspecified)", 2136, negativeSession("01 8F")},
        {"negative session without its code", 2136, negativeSession("00")},
    };
    return all;
}

FakeSessionPeer::Script scenario(std::string_view name)
{
    for (const Scenario& each : scenarios())
        if (name == each.name)
            return each.script;
    return {};
}

Bytes retargetTo(std::uint32_t address, std::uint16_t port)
{
    return concat({hexBytes("84 00 00 06"),
                   Bytes{std::uint8_t(address >> 24), std::uint8_t(address >> 16),
                         std::uint8_t(address >> 8), std::uint8_t(address)},
                   Bytes{std::uint8_t(port >> 8), std::uint8_t(port)}});
}

std::uint32_t ipv4(const QString& text)
{
    return QHostAddress(text).toIPv4Address();
}

// 1024 session keep-alives in a row.
Bytes keepAliveBurst()
{
    Bytes burst;
    for (int i = 0; i < 1024; ++i)
        burst = concat({burst, hexBytes("85 00 00 00")});
    return burst;
}

// Keep-alives without end (bounded at a minute) once the client waits for a reply.
FakeSessionPeer::Script keepAliveFlood(bool afterSession)
{
    return [afterSession](PeerConnection& c) {
        if (afterSession)
            acceptSession(c);
        c.readFrame();
        const Bytes burst = keepAliveBurst();
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end && c.send(burst)) {
        }
    };
}

// Each answer just inside the step's deadline, so only a limit on the whole send ends it.
FakeSessionPeer::Script lateAnswers(bool retargets, const std::uint16_t& port)
{
    return [retargets, &port](PeerConnection& c) {
        const auto late = [] {
            std::this_thread::sleep_for(300ms);
        };
        if (retargets && c.index() < SessionClient::kMaxRetargets) {
            if (c.readFrame()) {
                late();
                c.send(retargetTo(kLoopback, port));
            }
            return;
        }
        acceptSession(c);
        answerEach(c, [&](const PeerFrame& r) {
            late();
            return successFor(r);
        });
    };
}

// The send on a thread of its own, so that a send that never ends fails the test instead of
// hanging it.
std::optional<std::int32_t> sendOrGiveUp(SmbMessenger& messenger, const QString& text)
{
    auto result =
        std::async(std::launch::async, [&] { return sendThrough(messenger, "ALICE", text); });
    if (result.wait_for(30s) != std::future_status::ready)
        return std::nullopt;
    return result.get();
}

} // namespace

class TestSmbMessenger : public QObject
{
    Q_OBJECT

private slots:
    void endsWithTheRightCode_data();
    void endsWithTheRightCode();
    void defaultsAreTheDocumentedLimits();
    void readStopsAtTheDeadlineWhateverIsWaiting();
    void peersThatNeverFinishEndTheSend_data();
    void peersThatNeverFinishEndTheSend();
    void addressPolicyDecides_data();
    void addressPolicyDecides();
    void followsRetargetsOnlyOnTheSameHost_data();
    void followsRetargetsOnlyOnTheSameHost();
    void mapsConnectErrors_data();
    void mapsConnectErrors();
    void mapsSmbErrors_data();
    void mapsSmbErrors();
    void mapsConnectFailures_data();
    void mapsConnectFailures();
    void sendsSessionRequestAndMessageInBlocks_data();
    void sendsSessionRequestAndMessageInBlocks();
    void sendsGivenSenderThroughOwnServerName();
    void refusesBeforeTouchingTheNetwork_data();
    void refusesBeforeTouchingTheNetwork();
    void refusesMalformedBuffers();
};

void TestSmbMessenger::endsWithTheRightCode_data()
{
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < scenarios().size(); ++i)
        QTest::newRow(scenarios()[i].name) << int(i);
}

void TestSmbMessenger::endsWithTheRightCode()
{
    QFETCH(int, index);
    const Scenario& scenario = scenarios()[std::size_t(index)];

    FakeSessionPeer peer(scenario.script);
    QVERIFY(peer.port() != 0);
    SmbMessenger messenger(kLocalName, peerOptions(peer.port()));

    QCOMPARE(sendThrough(messenger, "ALICE", "Hola\nmundo"), scenario.code);
    QCOMPARE(peer.connections(), 1);
}

void TestSmbMessenger::defaultsAreTheDocumentedLimits()
{
    QCOMPARE(SessionTimeouts{}.connect, 5000ms);
    QCOMPARE(SessionTimeouts{}.reply, 10000ms);
    QCOMPARE(SmbMessengerOptions{}.sendLimit, 20000ms);
}

void TestSmbMessenger::readStopsAtTheDeadlineWhateverIsWaiting()
{
    int ends[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
    // As many keep-alives as the pair holds: a reader that only stops when nothing is left to
    // read would take them all.
    const Bytes burst = keepAliveBurst();
    for (int i = 0; i < 10000 && ::send(ends[1], burst.data(), burst.size(), 0) > 0; ++i) {
    }
    int waiting = 0;
    QCOMPARE(ioctl(ends[0], FIONREAD, &waiting), 0);
    QVERIFY(waiting > 4 * 4096);

    TcpConnection connection(SessionClient::kMaxFrameBody);
    connection.adopt(ends[0]);
    SessionFrame frame;
    QCOMPARE(connection.readFrame(frame, TcpConnection::Clock::now() - 1ms),
             TcpConnection::IoResult::TimedOut);
    int left = 0;
    QCOMPARE(ioctl(ends[0], FIONREAD, &left), 0);
    QVERIFY2(left >= waiting - 4096,
             qPrintable(QStringLiteral("%1 of %2 left").arg(left).arg(waiting)));
    ::close(ends[1]);
}

// Keep-alives without end end at the reply timeout; answers each in time but all together
// late end at the send limit.
void TestSmbMessenger::peersThatNeverFinishEndTheSend_data()
{
    QTest::addColumn<bool>("flood"); // keep-alives, else late answers
    QTest::addColumn<bool>("afterSession");
    QTest::addColumn<bool>("retargets");
    QTest::newRow("keep-alives instead of the session response") << true << false << false;
    QTest::newRow("keep-alives instead of an SMB reply") << true << true << false;
    QTest::newRow("every SMB reply late") << false << false << false;
    QTest::newRow("four retargets late") << false << false << true;
}

void TestSmbMessenger::peersThatNeverFinishEndTheSend()
{
    QFETCH(bool, flood);
    QFETCH(bool, afterSession);
    QFETCH(bool, retargets);
    std::uint16_t port = 0;
    FakeSessionPeer peer(flood ? keepAliveFlood(afterSession) : lateAnswers(retargets, port));
    port = peer.port();
    SmbMessengerOptions options = peerOptions(port, flood ? 300ms : 1500ms);
    if (!flood)
        options.sendLimit = 1000ms;
    SmbMessenger messenger(kLocalName, options);
    // 34 SMBs at 300 ms each, or four retargets and three SMBs: well past the limit.
    const bool longText = !flood && !retargets;
    const auto code =
        sendOrGiveUp(messenger, longText ? QString(4095, QChar('x')) : QStringLiteral("Hola"));
    QVERIFY2(code, "the send did not end");
    QCOMPARE(*code, MessengerResult::kNetworkError);
    // Cut short before the end went out, so the receiver shows nothing.
    for (const PeerFrame& frame : peer.frames())
        QVERIFY(commandOf(frame) != 0xD6);
}

void TestSmbMessenger::addressPolicyDecides_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("loopbackAllowed");
    QTest::addColumn<QString>("retargetFrom"); // empty: not a retarget
    QTest::addColumn<bool>("allowed");

    QTest::newRow("LAN host") << "192.168.1.20" << 139 << false << "" << true;
    QTest::newRow("unspecified") << "0.0.0.0" << 139 << true << "" << false;
    QTest::newRow("this network") << "0.1.2.3" << 139 << true << "" << false;
    QTest::newRow("limited broadcast") << "255.255.255.255" << 139 << true << "" << false;
    QTest::newRow("an interface's broadcast") << "192.168.1.255" << 139 << false << "" << false;
    QTest::newRow(".255 of another network") << "10.0.0.255" << 139 << false << "" << true;
    QTest::newRow("multicast") << "224.0.0.1" << 139 << true << "" << false;
    QTest::newRow("multicast, top") << "239.255.255.250" << 139 << true << "" << false;
    QTest::newRow("reserved") << "240.0.0.1" << 139 << true << "" << false;
    QTest::newRow("port 0") << "192.168.1.20" << 0 << false << "" << false;
    QTest::newRow("loopback, not ours") << "127.0.0.1" << 139 << false << "" << false;
    QTest::newRow("loopback, other address") << "127.0.1.1" << 139 << false << "" << false;
    QTest::newRow("loopback, a send to us") << "127.0.1.1" << 139 << true << "" << true;
    QTest::newRow("retarget, same host, other port")
        << "192.168.1.20" << 1139 << false << "192.168.1.20" << true;
    QTest::newRow("retarget to another host")
        << "192.168.1.21" << 139 << false << "192.168.1.20" << false;
    QTest::newRow("retarget to loopback") << "127.0.0.1" << 139 << false << "192.168.1.20" << false;
    QTest::newRow("retarget to loopback from loopback")
        << "127.0.0.1" << 445 << true << "127.0.0.1" << true;
    QTest::newRow("retarget, same host, port 0")
        << "192.168.1.20" << 0 << false << "192.168.1.20" << false;
}

void TestSmbMessenger::addressPolicyDecides()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(bool, loopbackAllowed);
    QFETCH(QString, retargetFrom);
    QFETCH(bool, allowed);

    const AddressPolicy policy{loopbackAllowed, {ipv4("192.168.1.255")}};
    const std::uint32_t to = ipv4(address);
    QCOMPARE(retargetFrom.isEmpty()
                 ? policy.mayConnect(to, std::uint16_t(port))
                 : policy.mayFollowRetarget(ipv4(retargetFrom), to, std::uint16_t(port)),
             allowed);
}

void TestSmbMessenger::followsRetargetsOnlyOnTheSameHost_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port"); // 0, else the receiver's (1) or the redirector's own (2)
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("redirected"); // connections to the redirector

    QTest::newRow("same host, the receiver's port") << "127.0.0.1" << 1 << 0 << 1;
    QTest::newRow("another host") << "127.0.0.2" << 1 << 2136 << 1;
    QTest::newRow("0.0.0.0, which is this machine") << "0.0.0.0" << 1 << 2136 << 1;
    QTest::newRow("broadcast") << "255.255.255.255" << 1 << 2136 << 1;
    QTest::newRow("multicast") << "224.0.0.1" << 1 << 2136 << 1;
    QTest::newRow("same host, port 0") << "127.0.0.1" << 0 << 2136 << 1;
    // The first connection and four retargets.
    QTest::newRow("to itself without end") << "127.0.0.1" << 2 << 2136 << 5;
}

void TestSmbMessenger::followsRetargetsOnlyOnTheSameHost()
{
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(int, code);
    QFETCH(int, redirected);

    FakeSessionPeer receiver(sambaLike);
    std::uint16_t own = 0;
    FakeSessionPeer redirector([&](PeerConnection& c) {
        if (c.readFrame())
            c.send(retargetTo(ipv4(address), port == 0 ? 0 : port == 1 ? receiver.port() : own));
    });
    own = redirector.port();
    SmbMessenger messenger(kLocalName, peerOptions(redirector.port()));
    QCOMPARE(sendThrough(messenger, "ALICE", "Hola"), code);
    QCOMPARE(redirector.connections(), redirected);
    QCOMPARE(receiver.connectionsSoFar(), code == 0 ? 1 : 0);
    if (code == 0)
        QCOMPARE(receiver.frames().size(), std::size_t(4)); // session request, D5, D7, D6
}

void TestSmbMessenger::mapsConnectErrors_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("code");
    QTest::newRow("refused") << ECONNREFUSED << 2273;
    QTest::newRow("timed out") << ETIMEDOUT << 2273;
    QTest::newRow("absent LAN host (no ARP answer)") << EHOSTUNREACH << 2273;
    QTest::newRow("host down") << EHOSTDOWN << 2273;
    QTest::newRow("no route to the network") << ENETUNREACH << 2250;
    QTest::newRow("network down") << ENETDOWN << 2250;
    QTest::newRow("forbidden by a firewall rule") << EACCES << 2136;
    QTest::newRow("no local address") << EADDRNOTAVAIL << 2136;
}

void TestSmbMessenger::mapsConnectErrors()
{
    QFETCH(int, error);
    QFETCH(int, code);
    QCOMPARE(SessionClient::codeForConnectError(error), code);
}

void TestSmbMessenger::mapsSmbErrors_data()
{
    QTest::addColumn<int>("failingCommand");
    QTest::addColumn<uint>("status");
    QTest::addColumn<int>("flags2");
    QTest::addColumn<int>("code");

    // DOS form: (code << 16) | class, Flags2 without the NT bit.
    auto dos = [](std::uint8_t errorClass, std::uint16_t code) {
        return (std::uint32_t(code) << 16) | errorClass;
    };
    QTest::newRow("ERRDOS/5 access denied") << 0xD5 << dos(1, 5) << 0x0003 << 5;
    QTest::newRow("ERRSRV/4 access") << 0xD5 << dos(2, 4) << 0x0003 << 5;
    QTest::newRow("ERRDOS/71 takes no messages") << 0xD5 << dos(1, 71) << 0x0003 << 5;
    QTest::newRow("ERRSRV/81 paused") << 0xD5 << dos(2, 81) << 0x0003 << 5;
    QTest::newRow("ERRSRV/82 messages off") << 0xD5 << dos(2, 82) << 0x0003 << 5;
    QTest::newRow("ERRSRV/64 unrecognised command") << 0xD5 << dos(2, 64) << 0x0003 << 50;
    QTest::newRow("ERRSRV/22 unknown SMB") << 0xD5 << dos(2, 22) << 0x0003 << 50;
    QTest::newRow("ERRSRV/0xFFFF not supported") << 0xD5 << dos(2, 0xFFFF) << 0x0003 << 50;
    QTest::newRow("ERRDOS/87 invalid parameter") << 0xD5 << dos(1, 87) << 0x0003 << 2136;
    QTest::newRow("ERRSRV/83 no room") << 0xD5 << dos(2, 83) << 0x0003 << 2136;
    QTest::newRow("ERRHRD/31 other class") << 0xD5 << dos(3, 31) << 0x0003 << 2136;
    QTest::newRow("ERRDOS/71 at the text block") << 0xD7 << dos(1, 71) << 0x0003 << 5;
    QTest::newRow("ERRSRV/82 at the end") << 0xD6 << dos(2, 82) << 0x0003 << 5;
    QTest::newRow("ERRDOS/8 at the end") << 0xD6 << dos(1, 8) << 0x0003 << 2136;
    QTest::newRow("NT ACCESS_DENIED") << 0xD5 << 0xC0000022u << 0x4003 << 5;
    QTest::newRow("NT REQUEST_NOT_ACCEPTED") << 0xD5 << 0xC00000D0u << 0x4003 << 5;
    QTest::newRow("NT NOT_SUPPORTED") << 0xD5 << 0xC00000BBu << 0x4003 << 50;
    QTest::newRow("NT CIFS form ERRSRV/82") << 0xD5 << dos(2, 82) << 0x4003 << 5;
    QTest::newRow("NT CIFS form ERRSRV/64") << 0xD6 << dos(2, 64) << 0x4003 << 50;
    QTest::newRow("NT without its Flags2 bit") << 0xD7 << 0xC0000022u << 0x0003 << 5;
    QTest::newRow("NT UNSUCCESSFUL") << 0xD5 << 0xC0000001u << 0x4003 << 2136;
}

void TestSmbMessenger::mapsSmbErrors()
{
    QFETCH(int, failingCommand);
    QFETCH(uint, status);
    QFETCH(int, flags2);
    QFETCH(int, code);

    FakeSessionPeer peer([&](PeerConnection& c) {
        acceptSession(c);
        answerEach(c, [&](const PeerFrame& r) {
            return commandOf(r) == failingCommand
                       ? reply(commandOf(r), midOf(r), status, std::uint16_t(flags2))
                       : successFor(r);
        });
    });
    SmbMessenger messenger(kLocalName, peerOptions(peer.port()));
    QCOMPARE(sendThrough(messenger, "ALICE", "Hola"), code);

    // Nothing goes out after the refusal.
    const auto frames = peer.frames();
    QVERIFY(!frames.empty());
    QCOMPARE(int(commandOf(frames.back())), failingCommand);
}

void TestSmbMessenger::mapsConnectFailures_data()
{
    QTest::addColumn<bool>("fullBacklog");
    QTest::newRow("connection refused") << false;
    QTest::newRow("connect timeout") << true;
}

void TestSmbMessenger::mapsConnectFailures()
{
    QFETCH(bool, fullBacklog);
    FullBacklogListener listener;
    const std::uint16_t port = fullBacklog ? listener.port() : closedLoopbackPort();
    QVERIFY(port != 0);
    SmbMessenger messenger(kLocalName, peerOptions(port, 1500ms, 700ms));
    QCOMPARE(sendThrough(messenger, "ALICE", "Hola"), MessengerResult::kNameNotFound);
}

void TestSmbMessenger::sendsSessionRequestAndMessageInBlocks_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("size"); // of the text converted
    QTest::addColumn<int>("group");

    QString lines;
    for (int line = 0; line < 30; ++line)
        lines += QStringLiteral("línea %1 del mensaje\n").arg(line, 2, 10, QChar('0'));
    // Samba gives no group.
    QTest::newRow("thirty lines") << "samba-like" << lines << 30 * 22 << 0;
    QTest::newRow("group word in the start reply")
        << "start reply with a group word" << lines << 30 * 22 << 0x1234;
    // 2,047 line breaks take two bytes each.
    QTest::newRow("longest text") << "samba-like"
                                  << QString(2047, QChar('\n')) + QStringLiteral("ñ") << 4095 << 0;
}

void TestSmbMessenger::sendsSessionRequestAndMessageInBlocks()
{
    QFETCH(QString, peer);
    QFETCH(QString, text);
    QFETCH(int, size);
    QFETCH(int, group);

    FakeSessionPeer receiver(scenario(peer.toStdString()));
    SmbMessenger messenger(kLocalName, peerOptions(receiver.port()));
    QCOMPARE(sendThrough(messenger, "alice", text), 0);

    const auto frames = receiver.frames();
    QVERIFY(frames.size() >= 4);
    QCOMPARE(frames[0].type, std::uint8_t(0x81));
    const auto called = NetbiosName::fromOem(asciiBytes("ALICE"), 0x03);
    const auto calling = NetbiosName::fromOem(asciiBytes("TESTHOST"), 0x00);
    QCOMPARE(
        hexText(frames[0].body),
        hexText(concat({Bytes{0x20}, asciiBytes(called.firstLevel().c_str()), Bytes{0x00, 0x20},
                        asciiBytes(calling.firstLevel().c_str()), Bytes{0x00}})));

    QCOMPARE(commandOf(frames[1]), std::uint8_t(0xD5));
    QCOMPARE(hexText(smbBytes(frames[1], 35)),
             hexText(concat({Bytes{0x04}, asciiBytes("TESTHOST"), Bytes{0x00, 0x04},
                             asciiBytes("ALICE"), Bytes{0x00}})));

    std::vector<std::size_t> sizes;
    const Bytes carried = textOf(frames, &sizes);
    QCOMPARE(hexText(carried), hexText(OemText::messageFromUtf16(text.toStdU16String())));
    QCOMPARE(int(carried.size()), size);
    QVERIFY(carried.size() > 2 * 128);
    for (std::size_t i = 0; i + 1 < sizes.size(); ++i)
        QCOMPARE(sizes[i], std::size_t(128));
    QCOMPARE(commandOf(frames.back()), std::uint8_t(0xD6));
    QCOMPARE(frames.size(), 3 + sizes.size());
    for (std::size_t i = 2; i < frames.size(); ++i)
        QCOMPARE(wordAt(frames[i].body, 33), std::uint16_t(group));
}

// The sender as given, upper-cased, and this computer's own name or none as the server.
void TestSmbMessenger::sendsGivenSenderThroughOwnServerName()
{
    FakeSessionPeer peer(sambaLike);
    SmbMessenger messenger(kLocalName, peerOptions(peer.port()));
    QCOMPARE(sendThrough(messenger, "Bob", "Hola", "año", "TESTHOST"), 0);
    QCOMPARE(sendThrough(messenger, "ALICE", "Hola", QString(), ""), 0);
    QCOMPARE(peer.connections(), 2);
    const auto frames = peer.frames();
    QVERIFY(frames.size() > 1);
    QCOMPARE(hexText(smbBytes(frames[1], 35)),
             hexText(concat({hexBytes("04 41 A5 4F 00 04"), asciiBytes("BOB"), Bytes{0x00}})));
}

void TestSmbMessenger::refusesBeforeTouchingTheNetwork_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("recipient");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("address"); // given with -I; empty: none
    QTest::addColumn<bool>("portZero");

    const QString hola = QStringLiteral("Hola");
    // A null recipient, sender or server is a null pointer.
    const auto row = [&](const char* name, const QString& recipient, int code, const QString& text,
                         const QString& sender = {}, const QString& server = {},
                         const char* address = "127.0.0.1", bool portZero = false) {
        QTest::newRow(name) << server << recipient << sender << text << code
                            << QString::fromLatin1(address) << portZero;
    };
    row("another server", "ALICE", 53, hola, {}, "OTHERPC");
    row("server that only starts like us", "ALICE", 53, hola, {}, "TESTHOST2");
    row("null recipient", QString(), 87, hola);
    row("empty recipient", "", 87, hola);
    row("recipient of spaces only", "   ", 87, hola);
    row("IPv6 recipient", "::1", 50, hola);
    row("IPv6 recipient with a zone", "fe80::1%eth0", 50, hola);
    row("IPv6 recipient in brackets", "[2001:db8::7]", 50, hola);
    row("a name with a colon is still a bad name", "PC:1", 123, hola);
    row("text over 4,095 bytes", "ALICE", 87, QString(4096, QChar('x')));
    row("line breaks count twice", "ALICE", 87, QString(2048, QChar('\n')));
    row("recipient of 16 bytes", "ABCDEFGHIJKLMNOP", 123, hola);
    row("recipient with a control character", "ALI\tCE", 123, hola);
    for (const QChar c : QStringLiteral("\"/\\[]:|<>+=;,?")) {
        const QByteArray name = "recipient with " + QByteArray(1, c.toLatin1());
        row(name.constData(), QStringLiteral("AL") + c + QStringLiteral("ICE"), 123, hola);
    }
    row("recipient with * inside", "AL*ICE", 123, hola);
    row("recipient *", "*", 123, hola);
    row("recipient starting with *", "*ALICE", 123, hola);
    row("recipient ** (starts with *)", "**", 123, hola);
    row("recipient with a character CP850 lacks", "ALICE€", 123, hola);
    row("workgroup message, no interface", "WORKGROUP*", 2250, hola);
    // TESTHOST and OFICINA, their NULs and 407 bytes of text are one more than a datagram takes.
    row("workgroup message too long for the datagram", "OFICINA*", 87,
        QString(407, QLatin1Char('x')));
    row("workgroup broadcast with a bad name", "WORK:GROUP*", 123, hola);
    row("sender of 16 bytes", "ALICE", 123, hola, "ABCDEFGHIJKLMNOP");
    row("sender with <", "ALICE", 123, hola, "<ANA>");
    row("sender with *", "ALICE", 123, hola, "ANA*");
    row("sender with a line break", "ALICE", 123, hola, "AN\nA");
    row("-I 0.0.0.0", "ALICE", 2136, hola, {}, {}, "0.0.0.0");
    row("-I broadcast", "ALICE", 2136, hola, {}, {}, "255.255.255.255");
    row("-I multicast", "ALICE", 2136, hola, {}, {}, "224.0.0.1");
    row("-I loopback, port 0", "ALICE", 2136, hola, {}, {}, "127.0.0.1", true);
    row("recipient 0.0.0.0", "0.0.0.0", 2136, hola, {}, {}, "");
    row("recipient 255.255.255.255", "255.255.255.255", 2136, hola, {}, {}, "");
}

void TestSmbMessenger::refusesBeforeTouchingTheNetwork()
{
    QFETCH(QString, server);
    QFETCH(QString, recipient);
    QFETCH(QString, sender);
    QFETCH(QString, text);
    QFETCH(int, code);
    QFETCH(QString, address);
    QFETCH(bool, portZero);

    FakeSessionPeer peer(sambaLike);
    SmbMessengerOptions options = peerOptions(peer.port());
    options.address = address.isEmpty() ? std::nullopt : std::optional(ipv4(address));
    if (portZero)
        options.sessionPort = 0;
    options.resolver.port = closedLoopbackPort();
    options.resolver.tries = 1;
    SmbMessenger messenger(kLocalName, options);
    QCOMPARE(sendThrough(messenger, recipient, text, sender, server), code);
    QCOMPARE(peer.connectionsSoFar(), 0);
}

void TestSmbMessenger::refusesMalformedBuffers()
{
    FakeSessionPeer peer(sambaLike);
    SmbMessenger messenger(kLocalName, peerOptions(peer.port()));
    const char16_t* alice = u"ALICE";
    const std::uint8_t three[3] = {'H', 0, 'o'};
    QCOMPARE(messenger.NetMessageBufferSend(nullptr, alice, nullptr, nullptr, 4), 87);
    QCOMPARE(messenger.NetMessageBufferSend(nullptr, alice, nullptr, three, 3), 87);
    QCOMPARE(peer.connectionsSoFar(), 0);
}

QTEST_GUILESS_MAIN(TestSmbMessenger)
#include "tst_smbmessenger.moc"
