// smbclient -M, which none of us wrote, against vorelind on port 139. smbclient sends a session
// request only to port 139, so the test runs in a network namespace of its own, where that
// port on loopback is free; it needs CAP_SYS_ADMIN and skips (77) without it.

#include "support/VorelindProcess.h"

#include <QProcess>
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

struct SmbclientResult
{
    int exitCode = -1;
    QString output;
};

} // namespace

class TestVorelindSmbclient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deliversWhatSmbclientSends_data();
    void deliversWhatSmbclientSends();
    void refusesAnUnknownCalledName();
    void cleanupTestCase();

private:
    SmbclientResult smbclient(const QString& name, const QByteArray& text);

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

SmbclientResult TestVorelindSmbclient::smbclient(const QString& name, const QByteArray& text)
{
    QProcess client;
    client.start(QStringLiteral("smbclient"),
                 {QStringLiteral("-s"), m_dir.filePath(QStringLiteral("smb.conf")),
                  QStringLiteral("-M"), name, QStringLiteral("-I"), QStringLiteral("127.0.0.1"),
                  QStringLiteral("-U"), QStringLiteral("alice%"), QStringLiteral("-n"),
                  QStringLiteral("SENDERBOX")});
    client.write(text);
    client.closeWriteChannel();
    SmbclientResult result;
    if (client.waitForFinished(20000))
        result.exitCode = client.exitCode();
    else
        client.kill();
    result.output =
        QString::fromUtf8(client.readAllStandardOutput() + client.readAllStandardError());
    return result;
}

void TestVorelindSmbclient::deliversWhatSmbclientSends_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("called");
    QTest::addColumn<QString>("to");

    QByteArray lines;
    for (int i = 0; i < 20; ++i)
        lines += QByteArray(49, char('a' + i)) + '\n';
    QTest::newRow("short") << "VTEST" << QByteArray("Hello") << "Hello"
                           << "VTEST"
                           << "VTEST";
    QTest::newRow("1,000 characters on 20 lines")
        << "VTEST" << lines << QString::fromLatin1(lines) << "VTEST"
        << "VTEST";
    QTest::newRow("CP850 letters")
        << "VTEST" << QByteArray("ñ á ü") << QString::fromUtf8("ñ á ü") << "VTEST"
        << "VTEST";
    // smbclient turns each LF into CR LF and leaves CR alone.
    QTest::newRow("every line-break form")
        << "VTEST" << QByteArray("a\rb\nc\r\nd") << "a\nb\nc\n\nd"
        << "VTEST"
        << "VTEST";
    QTest::newRow("lower-case name, kept as typed in the message")
        << "vtest" << QByteArray("x") << "x"
        << "VTEST"
        << "vtest";
    QTest::newRow("the address as the name") << "127.0.0.1" << QByteArray("x") << "x"
                                             << "127.0.0.1"
                                             << "127.0.0.1";
}

void TestVorelindSmbclient::deliversWhatSmbclientSends()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, input);
    QFETCH(QString, expected);
    QFETCH(QString, called);
    QFETCH(QString, to);

    const SmbclientResult sent = smbclient(name, input);
    QVERIFY2(sent.exitCode == 0 && !sent.output.contains(QStringLiteral("NT_STATUS")),
             qPrintable(sent.output + m_service.log()));
    QString error;
    const auto messages = m_service.receiveOnce(&error);
    QVERIFY2(messages.size() == 1, qPrintable(error + m_service.log()));
    const QJsonObject& m = messages[0];
    QCOMPARE(m[QStringLiteral("text")].toString(), expected);
    QCOMPARE(m[QStringLiteral("from")].toString(), QStringLiteral("alice"));
    QCOMPARE(m[QStringLiteral("machine")].toString(), QStringLiteral("SENDERBOX"));
    QCOMPARE(m[QStringLiteral("address")].toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(m[QStringLiteral("called")].toString(), called);
    QCOMPARE(m[QStringLiteral("to")].toString(), to);
}

void TestVorelindSmbclient::refusesAnUnknownCalledName()
{
    // smbclient retries with *SMBSERVER<20>, which is refused too.
    const SmbclientResult sent = smbclient(QStringLiteral("NOBODYHERE"), "x");
    QCOMPARE(sent.exitCode, 1);
    QVERIFY2(sent.output.contains(QStringLiteral("NT_STATUS_RESOURCE_NAME_NOT_FOUND")),
             qPrintable(sent.output));
    QVERIFY(m_service.receiveOnce().isEmpty());
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
