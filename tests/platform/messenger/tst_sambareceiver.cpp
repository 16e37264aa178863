#include "platform/messenger/MessengerResult.h"
#include "platform/messenger/SmbMessenger.h"
#include "support/FakeSessionPeer.h"
#include "support/MessengerCall.h"
#include "support/SambaServer.h"

#include <QTest>

#include <memory>

// The messenger against the real thing: Samba's smbd on loopback, receiving through its
// message command. What the receiver's owner reads is what arrives in the message folder.
class TestSambaReceiver : public QObject
{
    Q_OBJECT

    static constexpr std::uint32_t kLoopback = 0x7F000001;

    // One smbd per configuration, started on first use and kept for the whole run.
    std::unique_ptr<SambaServer> m_receiver;
    std::unique_ptr<SambaServer> m_noCommand;
    std::unique_ptr<SambaServer> m_smb2Only;

    static SmbMessengerOptions optionsFor(std::uint16_t port)
    {
        SmbMessengerOptions options;
        options.address = kLoopback;
        options.sessionPort = port;
        return options;
    }

    static std::int32_t send(std::uint16_t port, const QString& recipient, const QString& text,
                             const QString& sender = QString())
    {
        SmbMessenger messenger(QStringLiteral("vtestsend"), optionsFor(port));
        return sendThrough(messenger, recipient, text, sender);
    }

    // Starts the server on first use; false (with a failure recorded) when it cannot run.
    static bool ready(std::unique_ptr<SambaServer>& server, const SambaServer::Config& config)
    {
        if (!server)
            server = startSambaServer(config);
        return server != nullptr;
    }

    // The one message that arrived at the receiver after a send.
    SambaServer::Message deliveredOnce(const QString& text, const QString& sender = QString())
    {
        m_receiver->clearMessages();
        const std::int32_t code =
            send(m_receiver->port(), QStringLiteral("vtestrecv"), text, sender);
        if (code != MessengerResult::kSuccess)
            qWarning().noquote() << "send code" << code << "smbd log:\n" << m_receiver->log();
        const auto messages = m_receiver->waitForReceived(1);
        if (code != MessengerResult::kSuccess || messages.size() != 1) {
            qWarning() << "received" << messages.size() << "messages";
            return {QStringLiteral("<none>"), QStringLiteral("<none>")};
        }
        return messages.front();
    }

private slots:
    void initTestCase()
    {
        if (SambaServer::smbdPath().isEmpty())
            QFAIL("smbd is not installed (Debian package samba); no real receiver to send to");
    }

    void cleanupTestCase()
    {
        // smbd takes about two seconds to exit: let all three wind down together.
        for (auto* server : {&m_receiver, &m_noCommand, &m_smb2Only})
            if (*server)
                (*server)->requestStop();
        m_receiver.reset();
        m_noCommand.reset();
        m_smb2Only.reset();
    }

    void textArrivesAsSent_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("arrived");

        QTest::newRow("short") << QStringLiteral("Hola") << QStringLiteral("Hola");
        QString lines;
        for (int i = 0; lines.size() < 1000; ++i)
            lines += QStringLiteral("Linea %1 ")
                         .arg(i, 3, 10, QLatin1Char('0'))
                         .leftJustified(49, QLatin1Char('x')) +
                     QLatin1Char('\n');
        lines.truncate(1000);
        QTest::newRow("1000 characters over many lines and blocks") << lines << lines;
        QTest::newRow("CR LF and lone CR become line breaks")
            << QStringLiteral("uno\r\ndos\rtres") << QStringLiteral("uno\ndos\ntres");
        QTest::newRow("Latin letters of the code page")
            << QStringLiteral("A\u00f1o \u00f1and\u00fa")
            << QStringLiteral("A\u00f1o \u00f1and\u00fa");
        QTest::newRow("a character the code page lacks")
            << QStringLiteral("\u20ac") << QStringLiteral("?");
        QTest::newRow("beyond the BMP, one mark per character")
            << QStringLiteral("a\U0001F600b") << QStringLiteral("a?b");
    }

    void textArrivesAsSent()
    {
        QFETCH(QString, sent);
        QFETCH(QString, arrived);
        QVERIFY(ready(m_receiver, {}));
        QCOMPARE(deliveredOnce(sent).text, arrived);
    }

    void senderAsTheReceiverSeesIt_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("seen");

        QTest::newRow("given, upper-cased") << QStringLiteral("ana") << QStringLiteral("ANA");
        QTest::newRow("none: this machine's name") << QString() << QStringLiteral("VTESTSEND");
        QTest::newRow("empty: this machine's name")
            << QStringLiteral("") << QStringLiteral("VTESTSEND");
        // smbd converts the name from CP850 and then masks every byte that is not an ASCII
        // letter or digit: one N-tilde is the two bytes of its UTF-8 form. A name sent in any
        // other encoding would show more or fewer marks.
        QTest::newRow("punctuation and a letter outside ASCII")
            << QStringLiteral("pe\u00f1a.m") << QStringLiteral("PE__A_M");
    }

    void senderAsTheReceiverSeesIt()
    {
        QFETCH(QString, sender);
        QFETCH(QString, seen);
        QVERIFY(ready(m_receiver, {}));
        const auto message = deliveredOnce(QStringLiteral("de quien"), sender);
        QCOMPARE(message.text, QStringLiteral("de quien"));
        QCOMPARE(message.sender, seen);
    }

    void severalMessagesInARowAllArrive()
    {
        QVERIFY(ready(m_receiver, {}));
        m_receiver->clearMessages();
        QStringList sent;
        for (int i = 0; i < 3; ++i) {
            sent << QStringLiteral("mensaje %1").arg(i);
            QCOMPARE(send(m_receiver->port(), QStringLiteral("vtestrecv"), sent.back()),
                     MessengerResult::kSuccess);
        }
        QStringList arrived = m_receiver->waitForMessages(3);
        arrived.sort();
        QCOMPARE(arrived, sent);
    }

    void receiverWithoutMessageCommandRefuses()
    {
        SambaServer::Config config;
        config.messageCommand = false;
        QVERIFY(ready(m_noCommand, config));
        QCOMPARE(send(m_noCommand->port(), QStringLiteral("vtestrecv"), QStringLiteral("Hola")),
                 MessengerResult::kAccessDenied);
    }

    void receiverWithoutSmb1IsNotSupported()
    {
        SambaServer::Config config;
        config.minProtocol = QStringLiteral("SMB2_02");
        QVERIFY(ready(m_smb2Only, config));
        QCOMPARE(send(m_smb2Only->port(), QStringLiteral("vtestrecv"), QStringLiteral("Hola")),
                 MessengerResult::kNotSupported);
    }

    void nothingListeningIsNameNotFound()
    {
        QCOMPARE(send(closedLoopbackPort(), QStringLiteral("vtestrecv"), QStringLiteral("Hola")),
                 MessengerResult::kNameNotFound);
    }
};

QTEST_GUILESS_MAIN(TestSambaReceiver)
#include "tst_sambareceiver.moc"
