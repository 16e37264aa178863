#include "messaging/MessageSender.h"
#include "support/FakeSessionPeer.h"
#include "support/SambaServer.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The built vorelin-send run as a user would, against a real smbd on loopback: what arrives,
// what it prints and its exit status.
class TestVorelinSend : public QObject
{
    Q_OBJECT

    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };

    std::unique_ptr<SambaServer> m_receiver;
    std::unique_ptr<SambaServer> m_refusing;

    static Run run(const QStringList& arguments, const QByteArray& input = QByteArray(),
                   bool closeInput = true, const QString& config = QString())
    {
        QProcess process;
        if (!config.isEmpty()) {
            auto environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("VORELIN_CONFIG"), config);
            process.setProcessEnvironment(environment);
        }
        process.start(QStringLiteral(VORELIN_SEND_PATH), arguments);
        if (!process.waitForStarted(10000))
            return {};
        if (!input.isEmpty())
            process.write(input);
        if (closeInput)
            process.closeWriteChannel();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(3000);
            return {};
        }
        Run result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    static QStringList to(const SambaServer& server)
    {
        return {QStringLiteral("-I"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                QString::number(server.port())};
    }

    static QString statusLine(std::int32_t code)
    {
        return MessageSender::statusText(code) + QStringLiteral(" (%1)\n").arg(code);
    }

private slots:
    void initTestCase()
    {
        if (SambaServer::smbdPath().isEmpty())
            QFAIL("smbd is not installed (Debian package samba); no real receiver to send to");
        m_receiver = startSambaServer({});
        QVERIFY(m_receiver);
        SambaServer::Config refusing;
        refusing.messageCommand = false;
        m_refusing = startSambaServer(refusing);
        QVERIFY(m_refusing);
    }

    void cleanupTestCase()
    {
        if (m_receiver)
            m_receiver->requestStop();
        if (m_refusing)
            m_refusing->requestStop();
        m_receiver.reset();
        m_refusing.reset();
    }

    void init()
    {
        if (m_receiver)
            m_receiver->clearMessages();
    }

    void wordsAreJoinedAndDelivered()
    {
        const Run r = run(to(*m_receiver) + QStringList{QStringLiteral("-f"), QStringLiteral("ana"),
                                                        QStringLiteral("vtestrecv"),
                                                        QStringLiteral("Hola"), QStringLiteral("a"),
                                                        QStringLiteral("  todos\u00f1")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, statusLine(0));
        QCOMPARE(r.err, QString());
        const auto messages = m_receiver->waitForReceived(1);
        QCOMPARE(messages.size(), 1u);
        QCOMPARE(messages.front().text, QStringLiteral("Hola a   todos\u00f1"));
        QCOMPARE(messages.front().sender, QStringLiteral("ANA"));
    }

    // A broken vorelin.conf costs one line on standard error, never the message.
    void badNetworkConfigIsOneLineAndTheMessageGoes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("vorelin.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("wins-server = 10.0.0.1\nnode-type = x\n");
        file.close();
        const Run r =
            run(to(*m_receiver) + QStringList{QStringLiteral("vtestrecv"), QStringLiteral("igual")},
                QByteArray(), true, path);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, statusLine(0));
        QCOMPARE(r.err, QStringLiteral("vorelin-send: %1: line 2: node-type must be b or h; using "
                                       "broadcast only\n")
                            .arg(path));
        QCOMPARE(m_receiver->waitForMessages(1), QStringList{QStringLiteral("igual")});
    }

    void standardInputIsDelivered()
    {
        const QString text =
            QStringLiteral("Primera l\u00ednea\nsegunda\n\ntercera, tras una vac\u00eda");
        // One final line break, as echo and most commands end their output, is not part of it.
        const Run r = run(to(*m_receiver) + QStringList{QStringLiteral("vtestrecv")},
                          (text + QLatin1Char('\n')).toUtf8());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, statusLine(0));
        QCOMPARE(m_receiver->waitForMessages(1), QStringList{text});
    }

    void inputTooLongForAnyMessageIsRefusedWhole()
    {
        // Far more than any message may be: read only in part, and refused rather than cut.
        const Run r = run(to(*m_receiver) + QStringList{QStringLiteral("vtestrecv")},
                          QByteArray(200000, 'x'));
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, statusLine(87));
        QCOMPARE(r.out, QString());
        QCOMPARE(m_receiver->waitForMessages(1, 500), QStringList());
    }

    void notDeliveredExitsOne_data()
    {
        QTest::addColumn<int>("receiver");
        QTest::addColumn<int>("code");
        QTest::newRow("receiver without a message command") << 1 << 5;
        QTest::newRow("nothing listening") << 2 << 2273;
        QTest::newRow("IPv6 recipient") << 3 << 50;
    }

    void notDeliveredExitsOne()
    {
        QFETCH(int, receiver);
        QFETCH(int, code);
        const QString port = receiver == 1 ? QString::number(m_refusing->port())
                                           : QString::number(closedLoopbackPort());
        const Run r =
            receiver == 3
                ? run({QStringLiteral("::1"), QStringLiteral("Hola")})
                : run({QStringLiteral("-I"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                       port, QStringLiteral("vtestrecv"), QStringLiteral("Hola")});
        // smbclient -M exits 0 here; we must not.
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, statusLine(code));
        QCOMPARE(r.out, QString());
    }

    // The parsing itself is tested in process (tst_sendcommandline); here only what a user
    // sees of a usage error.
    void usageErrorsExitTwoAndSendNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        const QString port = QString::number(m_receiver ? m_receiver->port() : 1);
        const QStringList ok{QStringLiteral("-I"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("-p"), port};
        const QString r = QStringLiteral("vtestrecv");
        const QString m = QStringLiteral("Hola");

        QTest::newRow("nothing") << QStringList() << QByteArray();
        QTest::newRow("recipient of spaces only")
            << ok + QStringList{QStringLiteral("  "), m} << QByteArray();
        QTest::newRow("unknown option")
            << ok + QStringList{QStringLiteral("-x"), r, m} << QByteArray();
        QTest::newRow("port 0") << QStringList{QStringLiteral("-I"),
                                               QStringLiteral("127.0.0.1"),
                                               QStringLiteral("-p"),
                                               QStringLiteral("0"),
                                               r,
                                               m}
                                << QByteArray();
        QTest::newRow("empty standard input") << ok + QStringList{r} << QByteArray();
    }

    void messageIsSentOnlyAsTyped_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("arrives"); // empty: nothing

        QTest::newRow("NUL on standard input: refused, nothing cut")
            << QStringList() << QByteArray("Hola\0mundo\n", 12) << 1 << QString() << statusLine(87)
            << QString();
        QTest::newRow("characters the code page lacks: sent, with a warning")
            << QStringList{QString::fromUtf8("5 \u20ac \U0001F600")} << QByteArray() << 0
            << statusLine(0)
            << QStringLiteral(
                   "vorelin-send: warning: 2 characters the code page lacks will show as '?'\n")
            << QStringLiteral("5 ? ?");
    }

    void messageIsSentOnlyAsTyped()
    {
        QFETCH(QStringList, words);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, arrives);
        const Run r =
            run(to(*m_receiver) + QStringList{QStringLiteral("vtestrecv")} + words, input);
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(r.out, out);
        QCOMPARE(r.err, err);
        if (arrives.isEmpty())
            QCOMPARE(m_receiver->waitForMessages(1, 500), QStringList());
        else
            QCOMPARE(m_receiver->waitForMessages(1), QStringList{arrives});
    }

    void usageErrorsExitTwoAndSendNothing()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        const Run r = run(arguments, input);
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QString());
        // One line, and where to read more.
        QVERIFY2(r.err.count('\n') == 1 &&
                     r.err.endsWith(QLatin1String("(see vorelin-send --help)\n")),
                 qPrintable(r.err));
        QCOMPARE(m_receiver->waitForMessages(1, 300), QStringList());
    }

    void helpDocumentsUsageAndExitStatus()
    {
        for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
            const Run r = run({option});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.err, QString());
            for (const char* part :
                 {"Usage: vorelin-send [-f SENDER] [-I ADDRESS] [-p PORT] [--wins-server "
                  "ADDRESS]... [--workgroup NAME] RECIPIENT [MESSAGE...]",
                  "-f, --from SENDER", "-I, --address ADDRESS", "-p, --port PORT",
                  "--wins-server ADDRESS", "--workgroup NAME", "vorelin.conf", "standard input",
                  "Exit status:", "  0  ", "  1  ", "  2  "})
                QVERIFY2(r.out.contains(QLatin1String(part)), part);
        }
    }

    void versionIsPrinted()
    {
        const Run r = run({QStringLiteral("--version")});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QStringLiteral("vorelin-send %1\n").arg(QStringLiteral(VORELIN_VERSION)));
    }
};

QTEST_GUILESS_MAIN(TestVorelinSend)
#include "tst_vorelinsend.moc"
