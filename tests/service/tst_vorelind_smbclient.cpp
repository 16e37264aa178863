// smbclient -M, which none of us wrote, against vorelind on port 139. smbclient sends a session
// request only to port 139, so the test runs in a network namespace of its own, where that
// port on loopback is free; it needs CAP_SYS_ADMIN and skips (77) without it.

#include "support/VorelindProcess.h"

#include <QTemporaryDir>
#include <QTest>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool loopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

class TestVorelindSmbclient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deliversWhatSmbclientSends_data();
    void deliversWhatSmbclientSends();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
    VorelindProcess m_service;
};

void TestVorelindSmbclient::initTestCase()
{
    QFile conf(m_dir.filePath(QStringLiteral("smb.conf")));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("[global]\nname cache timeout = 0\n");
    conf.close();
    VorelindProcess::Options options;
    options.port = 139;
    options.extraArguments = QStringList{"--messages-per-minute", "0"};
    QString error;
    QVERIFY2(m_service.start(options, error), qPrintable(error));
}

void TestVorelindSmbclient::cleanupTestCase()
{
    m_service.stop();
}

void TestVorelindSmbclient::deliversWhatSmbclientSends_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("called");
    QTest::addColumn<QString>("to");

    const auto row = [](const char* name, const QString& called, const QByteArray& input,
                        const QString& expected, const QString& to) {
        QTest::newRow(name) << called << input << expected << called.toUpper() << to;
    };
    QByteArray lines;
    for (int i = 0; i < 20; ++i)
        lines += QByteArray(49, char('a' + i)) + '\n';
    row("short", "VTEST", "Hello", "Hello", "VTEST");
    row("1,000 characters on 20 lines", "VTEST", lines, QString::fromLatin1(lines), "VTEST");
    row("CP850 letters", "VTEST", "ñ á ü", QString::fromUtf8("ñ á ü"), "VTEST");
    // smbclient turns each LF into CR LF and leaves CR alone.
    row("every line-break form", "VTEST", "a\rb\nc\r\nd", "a\nb\nc\n\nd", "VTEST");
    row("lower-case name, kept as typed in the message", "vtest", "x", "x", "vtest");
    row("the address as the name", "127.0.0.1", "x", "x", "127.0.0.1");
    // smbclient retries with *SMBSERVER<20>, which is refused too.
    row("an unknown name refused", "NOBODYHERE", "x", QString(), QString());
}

void TestVorelindSmbclient::deliversWhatSmbclientSends()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    QFETCH(QString, called);
    QFETCH(QString, to);

    const ProgramRun sent = runProgram(QStringLiteral("smbclient"),
                                       {"-s", m_dir.filePath(QStringLiteral("smb.conf")), "-M",
                                        name, "-I", "127.0.0.1", "-U", "alice%", "-n", "SENDERBOX"},
                                       input);
    if (expected.isNull()) {
        QCOMPARE(sent.exitCode, 1);
        QVERIFY2(sent.output.contains(QStringLiteral("NT_STATUS_RESOURCE_NAME_NOT_FOUND")),
                 qPrintable(sent.output));
        QVERIFY(m_service.receiveOnce().isEmpty());
        return;
    }
    QVERIFY2(sent.exitCode == 0 && !sent.output.contains(QStringLiteral("NT_STATUS")),
             qPrintable(sent.output + m_service.log()));
    QString error;
    const auto messages = m_service.receiveOnce(&error);
    QVERIFY2(messages.size() == 1, qPrintable(error + m_service.log()));
    QCOMPARE(fields(messages[0], {"text", "from", "machine", "address", "called", "to"}),
             (QStringList{expected, "alice", "SENDERBOX", "127.0.0.1", called, to}));
}

int main(int argc, char** argv)
{
    if (::unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
        std::fprintf(stderr, "skipped: a network namespace of its own needs CAP_SYS_ADMIN (%s)\n",
                     std::strerror(errno));
        return 77;
    }
    QCoreApplication app(argc, argv);
    TestVorelindSmbclient test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vorelind_smbclient.moc"
