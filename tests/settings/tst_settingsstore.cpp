#include "platform/registry/IniRegistry.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kList0 = QStringLiteral("HKCU\\Software\\combo\\Vorelin\\List0");
const QString kList1 = QStringLiteral("HKCU\\Software\\combo\\Vorelin\\List1");

bool copyTree(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + u'/' + QDir(from).relativeFilePath(source);
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !QFile::copy(source, target))
            return false;
    }
    return true;
}

} // namespace

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readsEmptyWhenThereIsNoText_data();
    void readsEmptyWhenThereIsNoText();
    void firstWriteCreatesTheKeyAndLaterWritesReplace();
    void textRoundTripsExactly_data();
    void textRoundTripsExactly();
    void readsHandWrittenDataAsText_data();
    void readsHandWrittenDataAsText();
    void storesIntegersAsNumbers_data();
    void storesIntegersAsNumbers();
    void deletesAValue();
    void failuresDoNotReachTheCaller();
    void readsManyPathsInOrder();
    void writesManyValuesAllOrNothing();

private:
    QString historyFile() const { return m_config->path() + QStringLiteral("/combo/Vorelin.conf"); }
    void handWrite(const QByteArray& content);
    // Reads path from a copy of the config directory, so that QSettings parses the bytes on
    // disk rather than answering from what this process wrote.
    QString readKeyFromCopy(const QString& path);

    std::unique_ptr<QTemporaryDir> m_config;
    IniRegistry m_registry;
    SettingsStore m_store{m_registry};
};

void TestSettingsStore::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    QVERIFY(m_config->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
}

void TestSettingsStore::handWrite(const QByteArray& content)
{
    QVERIFY(QDir().mkpath(QFileInfo(historyFile()).absolutePath()));
    QFile file(historyFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

QString TestSettingsStore::readKeyFromCopy(const QString& path)
{
    QTemporaryDir copy;
    if (!copy.isValid() || !copyTree(m_config->path(), copy.path()))
        return QStringLiteral("<copy failed>");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(copy.path()));
    const QString text = m_store.ReadKey(path);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
    return text;
}

void TestSettingsStore::readsEmptyWhenThereIsNoText_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("path");

    QTest::newRow("no file yet") << QByteArray() << kList0;
    QTest::newRow("value missing from the file") << QByteArray("[General]\nList1=B\n") << kList0;
    QTest::newRow("stored empty text") << QByteArray("[General]\nList0=\n") << kList0;
    QTest::newRow("stored empty quotes") << QByteArray("[General]\nList0=\"\"\n") << kList0;
    QTest::newRow("only a key of that name") << QByteArray("[List0]\nInner=x\n") << kList0;
    QTest::newRow("data of an unknown kind")
        << QByteArray("[General]\nList0=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x3\\0x\\0)\n") << kList0;
    QTest::newRow("another root") << QByteArray("[General]\nList0=A\n")
                                  << "HKLM\\Software\\combo\\Vorelin\\List0";
    QTest::newRow("malformed path")
        << QByteArray("[General]\nList0=A\n") << "HKCU\\Software\\combo\\Vorelin\\";
}

void TestSettingsStore::readsEmptyWhenThereIsNoText()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, path);

    if (!file.isNull())
        handWrite(file);
    QCOMPARE(m_store.ReadKey(path), QString());
}

void TestSettingsStore::firstWriteCreatesTheKeyAndLaterWritesReplace()
{
    QVERIFY(!QFileInfo::exists(m_config->path() + QStringLiteral("/combo")));
    m_store.CreateKey(kList0, QStringLiteral("PC01"));
    QVERIFY(QFileInfo::exists(historyFile()));
    QCOMPARE(readKeyFromCopy(kList0), QStringLiteral("PC01"));

    m_store.CreateKey(kList0, QStringLiteral("PC02"));
    QCOMPARE(m_store.ReadKey(kList0), QStringLiteral("PC02"));
    QCOMPARE(readKeyFromCopy(kList0), QStringLiteral("PC02"));
}

void TestSettingsStore::textRoundTripsExactly_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("surrounding spaces") << "  PC01  ";
    QTest::newRow("equals sign") << "a=b";
    QTest::newRow("semicolon") << "a;b";
    QTest::newRow("leading semicolon") << ";comment?";
    QTest::newRow("comma") << "a,b";
    QTest::newRow("comma and space") << "a, b";
    QTest::newRow("hash") << "#a # b";
    QTest::newRow("backslashes") << "\\\\server\\share\\";
    QTest::newRow("double quotes") << "\"quoted\" and \"";
    QTest::newRow("single quotes") << "it's 'x'";
    QTest::newRow("section lookalike") << "[General]";
    QTest::newRow("at sign") << "@user";
    QTest::newRow("byte array lookalike") << "@ByteArray(x)";
    QTest::newRow("variant lookalike") << "@Variant(\\0)";
    QTest::newRow("percent") << "100%41";
    QTest::newRow("tab, CR and LF") << "a\tb\rc\nd";
    QTest::newRow("n with tilde and euro") << QString::fromUtf8("Peña 5 €");
    QTest::newRow("emoji") << QString::fromUtf8("hi 😀 there 🎉");
    QTest::newRow("hex digit after escape") << QStringLiteral("\x01"
                                                              "ab");
    QTest::newRow("5000 characters")
        << QString::fromUtf8("ñ, \"x\"=;#\\ ").repeated(500).left(5000);
}

void TestSettingsStore::textRoundTripsExactly()
{
    QFETCH(QString, text);

    m_store.CreateKey(kList0, text);
    m_store.CreateKey(kList1, QStringLiteral("next"));
    QCOMPARE(readKeyFromCopy(kList0), text);
    QCOMPARE(readKeyFromCopy(kList1), QStringLiteral("next"));
}

void TestSettingsStore::readsHandWrittenDataAsText_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");

    QTest::newRow("comma and space, read as a list") << QByteArray("List0=a, b") << "a, b";
    QTest::newRow("three items") << QByteArray("List0=a, b, c") << "a, b, c";
    QTest::newRow("comma without space") << QByteArray("List0=a,b") << "a, b";
    QTest::newRow("quoted comma") << QByteArray("List0=\"a, b\"") << "a, b";
    QTest::newRow("surrounding spaces are dropped unquoted")
        << QByteArray("List0=  PC01  ") << "PC01";
    QTest::newRow("doubled at sign") << QByteArray("List0=@@x") << "@x";
    QTest::newRow("byte array") << QByteArray("List0=@ByteArray(PC01)") << "PC01";
    QTest::newRow("unfinished variant stays text")
        << QByteArray("List0=@Variant(junk") << "@Variant(junk";
    QTest::newRow("number") << QByteArray("List0=42") << "42";
    QTest::newRow("UTF-8") << QByteArray("List0=Pe\xc3\xb1"
                                         "a")
                           << QString::fromUtf8("Peña");
}

void TestSettingsStore::readsHandWrittenDataAsText()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, text);

    handWrite("[General]\n" + line + "\nList1=next\n");
    QCOMPARE(m_store.ReadKey(kList0), text);
    QCOMPARE(m_store.ReadKeys({kList0, kList1}), QStringList({text, QStringLiteral("next")}));
}

void TestSettingsStore::storesIntegersAsNumbers_data()
{
    QTest::addColumn<qint16>("number");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << qint16(0) << "0";
    QTest::newRow("largest") << qint16(32767) << "32767";
    QTest::newRow("minus one") << qint16(-1) << "-1";
    QTest::newRow("smallest") << qint16(-32768) << "-32768";
}

void TestSettingsStore::storesIntegersAsNumbers()
{
    QFETCH(qint16, number);
    QFETCH(QString, text);

    const qint16 given = number;
    m_store.CreateIntegerKey(kList0, given);
    QCOMPARE(given, number);
    QCOMPARE(readKeyFromCopy(kList0), text);
}

void TestSettingsStore::deletesAValue()
{
    m_store.CreateKey(kList0, QStringLiteral("A"));
    m_store.CreateKey(kList1, QStringLiteral("B"));
    m_store.DeleteKey(kList0);
    QCOMPARE(readKeyFromCopy(kList0), QString());
    QCOMPARE(readKeyFromCopy(kList1), QStringLiteral("B"));
    m_store.DeleteKey(kList0);
    QCOMPARE(readKeyFromCopy(kList1), QStringLiteral("B"));
}

void TestSettingsStore::failuresDoNotReachTheCaller()
{
    // The history file's place is taken by a directory: every write fails, every read is empty.
    QVERIFY(QDir().mkpath(historyFile()));
    m_store.CreateKey(kList0, QStringLiteral("A"));
    m_store.CreateIntegerKey(kList0, qint16(7));
    m_store.CreateKeys({{kList0, QStringLiteral("A")}});
    m_store.UpdateKeys({kList0}, [](const QStringList&) {
        return std::optional<QList<Registry::Text>>({{kList0, QStringLiteral("A")}});
    });
    m_store.DeleteKey(kList0);
    QCOMPARE(m_store.ReadKey(kList0), QString());
    QCOMPARE(m_store.ReadKeys({kList0, kList1}), QStringList({QString(), QString()}));
    QVERIFY(QFileInfo(historyFile()).isDir());

    const QString machine = QStringLiteral("HKLM\\Software\\combo\\Vorelin\\List0");
    m_store.CreateKey(machine, QStringLiteral("A"));
    m_store.DeleteKey(machine);
    QCOMPARE(m_store.ReadKey(machine), QString());
}

void TestSettingsStore::readsManyPathsInOrder()
{
    handWrite("[General]\nList0=A\nList2=C\n");
    m_store.CreateKey(QStringLiteral("HKCU\\Software\\acme\\Tool\\Name"), QStringLiteral("T"));
    const QStringList texts = m_store.ReadKeys(
        {kList1, QStringLiteral("HKCU\\Software\\acme\\Tool\\Name"), QStringLiteral("HKLM\\x\\y"),
         QStringLiteral("HKCU\\Software\\combo\\"
                        "Vorelin\\List2"),
         kList0});
    QCOMPARE(texts, QStringList({QString(), "T", QString(), "C", "A"}));
    QCOMPARE(m_store.ReadKeys({}), QStringList());
}

void TestSettingsStore::writesManyValuesAllOrNothing()
{
    m_store.CreateKeys({{kList0, QStringLiteral("A")}, {kList1, QStringLiteral("B")}});
    QCOMPARE(readKeyFromCopy(kList0), QStringLiteral("A"));
    QCOMPARE(readKeyFromCopy(kList1), QStringLiteral("B"));

    m_store.CreateKeys({{kList0, QStringLiteral("X")}, {QStringLiteral("HKLM\\a\\b"), "Y"}});
    m_store.CreateKeys(
        {{kList0, QStringLiteral("X")}, {QStringLiteral("HKCU\\Software\\acme\\Tool\\Name"), "Y"}});
    QCOMPARE(readKeyFromCopy(kList0), QStringLiteral("A"));
    QVERIFY(!QFileInfo::exists(m_config->path() + QStringLiteral("/acme")));
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
