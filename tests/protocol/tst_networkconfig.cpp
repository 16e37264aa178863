// vorelin.conf, Samba's [global] section and dhcp.conf, and how they combine.

#include "protocol/NetworkConfig.h"

#include <QTemporaryDir>
#include <QTest>

#include <fstream>

namespace {

namespace P = NetworkConfigParser;
using Servers = std::vector<std::uint32_t>;

constexpr std::uint32_t kA = 0x0A550101; // 10.85.1.1
constexpr std::uint32_t kB = 0x0A550102; // 10.85.1.2
constexpr std::uint32_t kC = 0x0A550103; // 10.85.1.3

NetworkConfig combined(const char* own, const char* samba, const char* dhcp)
{
    std::string error;
    const auto parsed = P::parseOwn(own, error);
    if (!parsed)
        qFatal("own settings refused: %s", error.c_str());
    return P::combine(*parsed, P::parseSamba(samba), P::parseSamba(dhcp));
}

void write(const QString& path, const char* text)
{
    std::ofstream(path.toStdString()) << text;
}

} // namespace

Q_DECLARE_METATYPE(Servers)
Q_DECLARE_METATYPE(NetworkConfig::NodeType)

class NetworkConfigTest : public QObject
{
    Q_OBJECT

private slots:
    void combines_data()
    {
        QTest::addColumn<QByteArray>("own");
        QTest::addColumn<QByteArray>("samba");
        QTest::addColumn<QByteArray>("dhcp");
        QTest::addColumn<QString>("workgroup");
        QTest::addColumn<Servers>("servers");
        QTest::addColumn<Servers>("asked");
        QTest::addColumn<bool>("messages");
        QTest::addColumn<bool>("local");

        const Servers none;
        QTest::newRow("nothing anywhere") << QByteArray() << QByteArray() << QByteArray()
                                          << "WORKGROUP" << none << none << true << false;
        QTest::newRow("own keys, upper-cased workgroup, commas and spaces")
            << QByteArray("# office\nworkgroup = oficina\nwins-server = 10.85.1.1, 10.85.1.2 "
                          "10.85.1.1\nworkgroup-messages = no\n")
            << QByteArray("[global]\nworkgroup = OTHER\nwins server = 10.85.1.3\n") << QByteArray()
            << "OFICINA" << Servers{kA, kB} << Servers{kA, kB} << false << false;
        QTest::newRow("node type b asks no server")
            << QByteArray("wins-server = 10.85.1.1\nnode-type = b\n") << QByteArray()
            << QByteArray() << "WORKGROUP" << Servers{kA} << none << true << false;
        QTest::newRow("an empty own list overrides Samba's")
            << QByteArray("wins-server =\n") << QByteArray("[global]\nwins server = 10.85.1.3\n")
            << QByteArray("[global]\nwins server = eth0:10.85.1.2\n") << "WORKGROUP" << none << none
            << true << false;
        QTest::newRow("Samba: any case and spacing, tags, continuation, other sections")
            << QByteArray()
            << QByteArray("; comment\n[homes]\nworkgroup = NOTME\n[ Global ]\n  Work Group = "
                          "h5wg\n\tWINS_Server = main:10.85.1.1 \\\n   10.85.1.3\ninclude = "
                          "/etc/x\n[printers]\nwins server = 10.85.1.2\n")
            << QByteArray("[global]\n   wins server = eth0:10.85.1.2 eth0:10.85.1.1\n") << "H5WG"
            << Servers{kA, kC, kB} << Servers{kA, kC, kB} << true << false;
        QTest::newRow("Samba is the WINS server")
            << QByteArray() << QByteArray("[global]\nwins support = yes\n") << QByteArray()
            << "WORKGROUP" << Servers{0x7F000001} << Servers{0x7F000001} << true << true;
        QTest::newRow("a bad Samba workgroup and address are passed over")
            << QByteArray()
            << QByteArray("[global]\nworkgroup = FAR*TOO*LONG*FOR*A*NAME\nwins server = nohost "
                          "10.85.1.2\n")
            << QByteArray() << "WORKGROUP" << Servers{kB} << Servers{kB} << true << false;
    }

    void combines()
    {
        QFETCH(QByteArray, own);
        QFETCH(QByteArray, samba);
        QFETCH(QByteArray, dhcp);
        const NetworkConfig config = combined(own.constData(), samba.constData(), dhcp.constData());
        QFETCH(QString, workgroup);
        QCOMPARE(QString::fromStdString(config.workgroup), workgroup);
        QFETCH(Servers, servers);
        QCOMPARE(config.winsServers, servers);
        QFETCH(Servers, asked);
        QCOMPARE(config.nameServers(), asked);
        QFETCH(bool, messages);
        QCOMPARE(config.workgroupMessages, messages);
        QFETCH(bool, local);
        QCOMPARE(config.winsServerIsLocal, local);
    }

    void refusesBadLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");

        const auto row = [](const char* name, const char* text, const char* error) {
            QTest::newRow(name) << QByteArray(text) << QString::fromLatin1(error);
        };
        row("unknown key", "\n# c\nwins server = 10.0.0.1\n", "line 3: unknown key 'wins server'");
        row("no equals", "workgroup\n", "line 1: expected \"key = value\"");
        row("bad address", "wins-server = 10.0.0.1 wins.example\n",
            "line 1: wins-server 'wins.example' is not an IPv4 address");
        row("broadcast address", "wins-server = 255.255.255.255\n",
            "line 1: wins-server '255.255.255.255' is not an IPv4 address");
        row("long workgroup", "workgroup = SIXTEENCHARSLONG\n",
            "line 1: workgroup 'SIXTEENCHARSLONG' is not a name of 1 to 15 characters");
        row("workgroup with a star", "workgroup = OFI*\n",
            "line 1: workgroup 'OFI*' is not a name of 1 to 15 characters");
        row("node type", "node-type = p\n", "line 1: node-type must be b or h");
        row("messages", "workgroup-messages = maybe\n",
            "line 1: workgroup-messages must be yes or no");
    }

    void refusesBadLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        std::string problem;
        QVERIFY(!P::parseOwn(text.toStdString(), problem));
        QCOMPARE(QString::fromStdString(problem), error);
    }

    // A bad or unreadable file is one line and broadcast only; a missing default is silence.
    void loadsFiles_data()
    {
        QTest::addColumn<QByteArray>("own"); // empty: no file
        QTest::addColumn<bool>("mustExist");
        QTest::addColumn<QString>("error");
        QTest::addColumn<Servers>("servers");

        QTest::newRow("good") << QByteArray("wins-server = 10.85.1.1\n") << true << QString()
                              << Servers{kA};
        QTest::newRow("falls back to Samba")
            << QByteArray("workgroup = H5WG\n") << true << QString() << Servers{kC, kB};
        QTest::newRow("bad") << QByteArray("wins-server = 10.85.1.1\nnode = h\n") << true
                             << "vorelin.conf: line 2: unknown key 'node'; using broadcast only"
                             << Servers{};
        QTest::newRow("named but missing")
            << QByteArray() << true << "vorelin.conf: cannot be read; using broadcast only"
            << Servers{};
        QTest::newRow("default missing") << QByteArray() << false << QString() << Servers{};
    }

    void loadsFiles()
    {
        QFETCH(QByteArray, own);
        QFETCH(bool, mustExist);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("vorelin.conf"));
        const QString samba = dir.filePath(QStringLiteral("smb.conf"));
        const QString dhcp = dir.filePath(QStringLiteral("dhcp.conf"));
        write(samba, "[global]\nwins server = 10.85.1.3\n");
        write(dhcp, "[global]\nwins server = eth0:10.85.1.2\n");
        if (!own.isEmpty())
            write(path, (own + "samba-config = " + samba.toUtf8() +
                         "\nsamba-dhcp-config = " + dhcp.toUtf8() + "\n")
                            .constData());

        const auto loaded = P::loadFrom(path.toStdString(), mustExist);
        // Without a file of ours the machine's own Samba files are read: their servers vary.
        QFETCH(Servers, servers);
        if (mustExist)
            QCOMPARE(loaded.config.winsServers, servers);
        QFETCH(QString, error);
        QCOMPARE(loaded.error.has_value(), !error.isEmpty());
        if (loaded.error)
            QCOMPARE(QString::fromStdString(*loaded.error), dir.filePath(error));
    }
};

QTEST_GUILESS_MAIN(NetworkConfigTest)
#include "tst_networkconfig.moc"
