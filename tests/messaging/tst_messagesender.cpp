#include "messaging/MessageSender.h"
#include "messaging/StatusLine.h"
#include "platform/messenger/Messenger.h"
#include "platform/pointer/BusyPointer.h"

#include <QStringList>
#include <QTest>

#include <optional>
#include <stdexcept>

namespace {

// Everything that happens to the pointer, the platform and the status line, in order.
struct Journal
{
    QStringList events;
};

struct RecordedCall
{
    std::optional<std::u16string> server;
    std::optional<std::u16string> recipient;
    std::optional<std::u16string> sender;
    QByteArray bytes;
    std::uint32_t length = 0;
};

std::optional<std::u16string> copyOf(const char16_t* text)
{
    if (text == nullptr)
        return std::nullopt;
    return std::u16string(text);
}

class RecordingMessenger final : public Messenger
{
public:
    explicit RecordingMessenger(Journal& journal) : m_journal(journal) {}

    std::int32_t NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                      const char16_t* fromname, const std::uint8_t* buf,
                                      std::uint32_t buflen) override
    {
        m_journal.events << QStringLiteral("send");
        if (raises)
            throw std::runtime_error("platform failure");
        RecordedCall call{copyOf(servername), copyOf(msgname), copyOf(fromname),
                          QByteArray(reinterpret_cast<const char*>(buf), buflen), buflen};
        calls.push_back(call);
        return result;
    }

    std::int32_t result = 0;
    bool raises = false;
    std::vector<RecordedCall> calls;

private:
    Journal& m_journal;
};

class RecordingPointer final : public BusyPointer
{
public:
    explicit RecordingPointer(Journal& journal) : m_journal(journal) {}
    void showWait() override { m_journal.events << QStringLiteral("wait"); }
    void showDefault() override { m_journal.events << QStringLiteral("default"); }

private:
    Journal& m_journal;
};

class RecordingStatus final : public StatusLine
{
public:
    explicit RecordingStatus(Journal& journal) : m_journal(journal) {}
    void setStatusCaption(const QString& text) override
    {
        caption = text;
        m_journal.events << QStringLiteral("caption");
    }
    void setClearInterval(int milliseconds) override
    {
        interval = milliseconds;
        m_journal.events << QStringLiteral("interval");
    }

    QString caption = QStringLiteral("untouched");
    int interval = -1;

private:
    Journal& m_journal;
};

} // namespace

class TestMessageSender : public QObject
{
    Q_OBJECT

private:
    Journal m_journal;
    std::unique_ptr<RecordingMessenger> m_messenger;
    std::unique_ptr<RecordingPointer> m_pointer;
    std::unique_ptr<RecordingStatus> m_status;
    std::unique_ptr<MessageSender> m_sender;

private slots:
    void init()
    {
        m_journal = {};
        m_messenger = std::make_unique<RecordingMessenger>(m_journal);
        m_pointer = std::make_unique<RecordingPointer>(m_journal);
        m_status = std::make_unique<RecordingStatus>(m_journal);
        m_sender = std::make_unique<MessageSender>(*m_messenger, *m_pointer, *m_status);
    }

    void emptyMessageTouchesNothing()
    {
        NetMessageRequest request{QStringLiteral("HOST"), QStringLiteral("PC01"),
                                  QStringLiteral("Ana"), QString()};
        QCOMPARE(m_sender->SendNetMessage(request), QString());
        request.MessageText = QStringLiteral("");
        QCOMPARE(m_sender->SendNetMessage(request), QString());
        QVERIFY(m_journal.events.isEmpty());
        QCOMPARE(m_status->caption, QStringLiteral("untouched"));
    }

    void emptyNamesBecomeNullButRecipientStaysEmpty()
    {
        NetMessageRequest request{QStringLiteral(""), QStringLiteral(""), QStringLiteral(""),
                                  QStringLiteral("x")};
        m_sender->SendNetMessage(request);
        QCOMPARE(m_messenger->calls.size(), 1u);
        const RecordedCall& call = m_messenger->calls.front();
        QVERIFY(!call.server.has_value());
        QVERIFY(!call.sender.has_value());
        QVERIFY(call.recipient.has_value());
        QVERIFY(call.recipient->empty());
        // The request holds the converted forms afterwards.
        QVERIFY(request.ServerName.isNull());
        QVERIFY(request.FromName.isNull());
    }

    void nullRecipientIsPassedAsEmptyString()
    {
        NetMessageRequest request{QString(), QString(), QString(), QStringLiteral("x")};
        m_sender->SendNetMessage(request);
        QVERIFY(m_messenger->calls.front().recipient.has_value());
    }

    void namesArePassedUnchanged()
    {
        NetMessageRequest request{QStringLiteral("MyHost "), QStringLiteral(" pc01"),
                                  QStringLiteral("Año"), QStringLiteral("x")};
        m_sender->SendNetMessage(request);
        const RecordedCall& call = m_messenger->calls.front();
        QCOMPARE(*call.server, std::u16string(u"MyHost "));
        QCOMPARE(*call.recipient, std::u16string(u" pc01"));
        QCOMPARE(*call.sender, std::u16string(u"Año"));
    }

    void messageBytesAreUtf16LittleEndian_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("Hola") << QStringLiteral("Hola") << QByteArray::fromHex("48006f006c006100");
        QTest::newRow("A, n tilde, o")
            << QStringLiteral("Año") << QByteArray::fromHex("4100f1006f00");
        // U+1F600 is the surrogate pair D83D DE00: four bytes, low byte first in each unit.
        QTest::newRow("surrogate pair")
            << QString::fromUtf8("a\xF0\x9F\x98\x80") << QByteArray::fromHex("61003dd800de");
        QTest::newRow("line break")
            << QStringLiteral("a\r\nb") << QByteArray::fromHex("61000d000a006200");
    }

    void messageBytesAreUtf16LittleEndian()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, bytes);
        NetMessageRequest request{QString(), QStringLiteral("PC01"), QString(), message};
        m_sender->SendNetMessage(request);
        const RecordedCall& call = m_messenger->calls.front();
        QCOMPARE(call.bytes, bytes);
        QCOMPARE(call.length, std::uint32_t(bytes.size()));
    }

    void pointerIsDefaultAgainBeforeTheStatusShows()
    {
        NetMessageRequest request{QString(), QStringLiteral("PC01"), QString(),
                                  QStringLiteral("x")};
        m_sender->SendNetMessage(request);
        QCOMPARE(m_journal.events, (QStringList{"wait", "send", "default", "caption", "interval"}));
    }

    void pointerIsDefaultAgainWhenThePlatformRaises()
    {
        m_messenger->raises = true;
        NetMessageRequest request{QString(), QStringLiteral("PC01"), QString(),
                                  QStringLiteral("x")};
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, m_sender->SendNetMessage(request));
        QCOMPARE(m_journal.events, (QStringList{"wait", "send", "default"}));
        QCOMPARE(m_status->caption, QStringLiteral("untouched"));
    }

    void everyCodeGetsItsTextAndArmsTheTimer_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        const QString unknown = QStringLiteral("Unknown error executing command.");
        QTest::newRow("0") << 0 << QStringLiteral("El Mensaje Fue Enviado");
        QTest::newRow("5") << 5 << QStringLiteral("Acceso Denegado a la PC");
        QTest::newRow("50") << 50 << QStringLiteral("Network request not supported.");
        QTest::newRow("53") << 53 << QStringLiteral("Sent From server name not found.");
        QTest::newRow("87") << 87 << QStringLiteral("Invalid parameter(s) specified.");
        QTest::newRow("123") << 123 << QStringLiteral("Caracter No Valido");
        QTest::newRow("2136") << 2136 << QStringLiteral("Error General de Red");
        QTest::newRow("2250") << 2250 << QStringLiteral("Sin Conecion de Red");
        QTest::newRow("2273") << 2273 << QStringLiteral("No Se Encontro al Usuario");
        for (int neighbour : {1,   4,    6,    49,   51,   52,   54,   86, 88, 122,
                              124, 2135, 2137, 2249, 2251, 2272, 2274, -1, -5, -2136})
            QTest::newRow(qPrintable(QString::number(neighbour))) << neighbour << unknown;
        QTest::newRow("min") << std::numeric_limits<int>::min() << unknown;
        QTest::newRow("max") << std::numeric_limits<int>::max() << unknown;
        // 2136 with the high bit set must not fold onto 2136.
        QTest::newRow("2136 high bit") << int(0x80000858u) << unknown;
    }

    void everyCodeGetsItsTextAndArmsTheTimer()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        m_messenger->result = code;
        NetMessageRequest request{QString(), QStringLiteral("PC01"), QString(),
                                  QStringLiteral("x")};
        QCOMPARE(m_sender->SendNetMessage(request), text);
        QCOMPARE(m_status->caption, text);
        QCOMPARE(m_status->interval, 1200);
    }
};

QTEST_GUILESS_MAIN(TestMessageSender)
#include "tst_messagesender.moc"
