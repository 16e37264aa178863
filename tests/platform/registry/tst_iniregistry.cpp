#include "platform/registry/IniRegistry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

const QString kHistoryPath = QStringLiteral("HKCU\\Software\\combo\\Vorelin\\List");

QStringList filesBelow(const QString& directory)
{
    QStringList files;
    QDirIterator it(directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(directory).relativeFilePath(it.next()));
    files.sort();
    return files;
}

void writeFile(const QString& fileName, const QByteArray& bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(fileName).absolutePath()));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Counts what the kernel reports about one watched file or directory while it is watched.
class Inotify
{
public:
    Inotify(const QString& path, uint32_t mask) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0)
            inotify_add_watch(m_fd, QFile::encodeName(path).constData(), mask);
    }
    ~Inotify()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Inotify(const Inotify&) = delete;
    Inotify& operator=(const Inotify&) = delete;

    bool isValid() const { return m_fd >= 0; }

    // Events queued so far, as (mask, name). The kernel queues them before the system call
    // that caused them returns, so nothing is missed by reading afterwards.
    QList<std::pair<uint32_t, QString>> events()
    {
        QList<std::pair<uint32_t, QString>> seen;
        alignas(inotify_event) char buffer[64 * 1024];
        for (int reads = 0; reads < 1000; ++reads) {
            const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                seen.append({event->mask, event->len ? QFile::decodeName(event->name) : QString()});
                at += sizeof(inotify_event) + event->len;
            }
        }
        return seen;
    }

private:
    int m_fd;
};

} // namespace

class TestIniRegistry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void landsInTheFileQtUsesForOrganizationAndApplication();
    void mapsPathsToFilesAndKeys_data();
    void mapsPathsToFilesAndKeys();
    void refusesMalformedPathsWithoutTouchingFiles_data();
    void refusesMalformedPathsWithoutTouchingFiles();
    void readsManyValuesWithOneOpenOfTheFile();
    void replacesTheFileByOneRenameNeverInPlace();
    void writesManyValuesOnlyWithinOneFile();
    void deletesTheValueButNotTheKeyOfTheSameName();
    void writeFailsWhenTheFileCannotBeReplaced();
    void refusedUpdateLeavesTheFileAsItWas_data();
    void refusedUpdateLeavesTheFileAsItWas();
    void writesThroughALinkedFileKeepingItsOtherValues();

private:
    QString config() const { return m_config->path(); }

    QByteArray m_ctestConfig;
    QString m_qtAppFile;
    QString m_qtOrgFile;
    std::unique_ptr<QTemporaryDir> m_config;
};

void TestIniRegistry::initTestCase()
{
    // QSettings fixes its user directory at first use, so ask it before any test moves
    // XDG_CONFIG_HOME.
    m_ctestConfig = qgetenv("XDG_CONFIG_HOME");
    m_qtAppFile = QSettings(QStringLiteral("combo"), QStringLiteral("Vorelin")).fileName();
    m_qtOrgFile =
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("acme")).fileName();
}

void TestIniRegistry::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    QVERIFY(m_config->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config()));
}

void TestIniRegistry::landsInTheFileQtUsesForOrganizationAndApplication()
{
    if (m_ctestConfig.isEmpty())
        QSKIP("XDG_CONFIG_HOME is not set; run through CTest so that no real profile is used");
    qputenv("XDG_CONFIG_HOME", m_ctestConfig);
    const auto history = IniRegistry::locate(kHistoryPath + u'0');
    QVERIFY(history);
    QCOMPARE(history->fileName, m_qtAppFile);
    QCOMPARE(QFileInfo(history->fileName).absolutePath(),
             QFile::decodeName(m_ctestConfig) + QStringLiteral("/combo"));
    const auto organization = IniRegistry::locate(QStringLiteral("HKCU\\Software\\acme\\Shared"));
    QVERIFY(organization);
    QCOMPARE(organization->fileName, m_qtOrgFile);
}

void TestIniRegistry::mapsPathsToFilesAndKeys_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("key");

    const auto row = [](const char* name, const QString& path, const char* file, const char* key) {
        QTest::newRow(name) << path << QString::fromLatin1(file) << QString::fromLatin1(key);
    };
    row("history value", kHistoryPath + u'0', "combo/Vorelin.conf", "List0");
    row("long root name", "HKEY_CURRENT_USER\\Software\\combo\\Vorelin\\List1",
        "combo/Vorelin.conf", "List1");
    row("root and Software in another case", "hkcu\\SOFTWARE\\combo\\Vorelin\\List7",
        "combo/Vorelin.conf", "List7");
    row("subkeys become groups", "HKCU\\Software\\acme\\Tool\\Window\\Size\\Width",
        "acme/Tool.conf", "Window/Size/Width");
    row("organization-wide value", "HKCU\\Software\\acme\\Shared", "acme.conf", "Shared");
    row("outside Software", "HKCU\\Environment\\TEMP", "HKCU.conf", "Environment/TEMP");
    row("directly under Software", "HKCU\\Software\\Flag", "HKCU.conf", "Software/Flag");
    row("names with spaces and dots", "HKCU\\Software\\My Org\\app.v2\\Last Used",
        "My Org/app.v2.conf", "Last Used");
}

void TestIniRegistry::mapsPathsToFilesAndKeys()
{
    QFETCH(QString, path);
    QFETCH(QString, file);
    QFETCH(QString, key);

    IniRegistry registry;
    QVERIFY(registry.RegWrite(path, QStringLiteral("stored")));
    QCOMPARE(filesBelow(config()), QStringList{file});
    QSettings written(config() + u'/' + file, QSettings::IniFormat);
    QCOMPARE(written.allKeys(), QStringList{key});
    QCOMPARE(written.value(key).toString(), QStringLiteral("stored"));
    QCOMPARE(registry.RegRead(path).toString(), QStringLiteral("stored"));
}

void TestIniRegistry::refusesMalformedPathsWithoutTouchingFiles_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("empty") << "";
    QTest::newRow("root only") << "HKCU";
    QTest::newRow("root and backslash") << "HKCU\\";
    QTest::newRow("value directly under the root") << "HKCU\\List0";
    QTest::newRow("no value name") << "HKCU\\Software\\combo\\Vorelin\\";
    QTest::newRow("empty key name") << "HKCU\\Software\\\\Vorelin\\List0";
    QTest::newRow("machine root") << "HKLM\\Software\\combo\\Vorelin\\List0";
    QTest::newRow("long machine root") << "HKEY_LOCAL_MACHINE\\Software\\combo\\Vorelin\\List0";
    QTest::newRow("slashes instead of backslashes") << "HKCU/Software/combo/Vorelin/List0";
    QTest::newRow("slash in the value name") << "HKCU\\Software\\combo\\Vorelin\\a/b";
    QTest::newRow("organization climbing out") << "HKCU\\Software\\..\\Vorelin\\List0";
    QTest::newRow("application as the directory itself") << "HKCU\\Software\\combo\\.\\List0";
    QTest::newRow("NUL in the application")
        << QStringLiteral("HKCU\\Software\\combo\\Vo") + QChar(u'\0') + QStringLiteral("x\\List0");
}

void TestIniRegistry::refusesMalformedPathsWithoutTouchingFiles()
{
    QFETCH(QString, path);

    IniRegistry registry;
    QVERIFY(!IniRegistry::locate(path));
    QVERIFY(!registry.RegWrite(path, QStringLiteral("x")));
    QVERIFY(!registry.RegWriteDword(path, 1));
    QVERIFY(!registry.RegWriteMany({{kHistoryPath + u'0', QStringLiteral("x")}, {path, {}}}));
    QVERIFY(!registry.RegDelete(path));
    QVERIFY(!registry.RegRead(path).isValid());
    QCOMPARE(registry.RegReadMany({path}).size(), 1);
    QVERIFY(!registry.RegReadMany({path}).first().isValid());
    QCOMPARE(filesBelow(config()), QStringList());
}

void TestIniRegistry::readsManyValuesWithOneOpenOfTheFile()
{
    const QString file = config() + QStringLiteral("/combo/Vorelin.conf");
    QByteArray content = "[General]\n";
    QStringList paths;
    for (int n = 0; n < 501; ++n) {
        content += "List" + QByteArray::number(n) + "=PC" + QByteArray::number(n) + '\n';
        paths.append(kHistoryPath + QString::number(n));
    }
    writeFile(file, content);

    Inotify watch(file, IN_OPEN);
    QVERIFY(watch.isValid());
    IniRegistry registry;
    const QList<QVariant> values = registry.RegReadMany(paths);
    QCOMPARE(values.size(), 501);
    QCOMPARE(values.first().toString(), QStringLiteral("PC0"));
    QCOMPARE(values.last().toString(), QStringLiteral("PC500"));
    QCOMPARE(watch.events().size(), 1);
}

void TestIniRegistry::replacesTheFileByOneRenameNeverInPlace()
{
    const QString directory = config() + QStringLiteral("/combo");
    const QString file = directory + QStringLiteral("/Vorelin.conf");
    writeFile(file, "[General]\nList0=B\nList1=C\nList2=D\n\n[Window]\nState=max\n");

    Inotify watch(directory, IN_MODIFY | IN_MOVED_TO);
    QVERIFY(watch.isValid());
    IniRegistry registry;
    QVERIFY(registry.RegWriteMany({{kHistoryPath + u'0', QStringLiteral("A")},
                                   {kHistoryPath + u'1', QStringLiteral("B")},
                                   {kHistoryPath + u'2', QStringLiteral("C")},
                                   {kHistoryPath + u'3', QStringLiteral("D")}}));

    int renamesOntoTheFile = 0;
    for (const auto& [mask, name] : watch.events()) {
        if (name != QLatin1String("Vorelin.conf"))
            continue;
        // QSettings opens the old file read-write to probe it, so only a real write counts.
        QVERIFY2(!(mask & IN_MODIFY), "the file was written in place");
        if (mask & IN_MOVED_TO)
            ++renamesOntoTheFile;
    }
    QCOMPARE(renamesOntoTheFile, 1);
    QCOMPARE(filesBelow(config()), QStringList{QStringLiteral("combo/Vorelin.conf")});
    QSettings written(file, QSettings::IniFormat);
    QCOMPARE(written.value("List0").toString(), QStringLiteral("A"));
    QCOMPARE(written.value("List3").toString(), QStringLiteral("D"));
    QCOMPARE(written.value("Window/State").toString(), QStringLiteral("max"));
}

void TestIniRegistry::writesManyValuesOnlyWithinOneFile()
{
    IniRegistry registry;
    QVERIFY(!registry.RegWriteMany(
        {{kHistoryPath + u'0', QStringLiteral("A")},
         {QStringLiteral("HKCU\\Software\\acme\\Tool\\X"), QStringLiteral("B")}}));
    QVERIFY(!registry.RegWriteMany({}));
    QCOMPARE(filesBelow(config()), QStringList());
}

void TestIniRegistry::deletesTheValueButNotTheKeyOfTheSameName()
{
    const QString size = QStringLiteral("HKCU\\Software\\acme\\Tool\\Size");
    const QString width = size + QStringLiteral("\\Width");
    IniRegistry registry;
    QVERIFY(registry.RegWrite(size, QStringLiteral("big")));
    QVERIFY(registry.RegWrite(width, QStringLiteral("300")));

    QVERIFY(registry.RegDelete(size));
    QVERIFY(!registry.RegRead(size).isValid());
    QCOMPARE(registry.RegRead(width).toString(), QStringLiteral("300"));

    const QByteArray before = readFile(config() + QStringLiteral("/acme/Tool.conf"));
    QVERIFY(!registry.RegDelete(size));
    QVERIFY(!registry.RegDelete(QStringLiteral("HKCU\\Software\\acme\\Other\\Size")));
    QCOMPARE(readFile(config() + QStringLiteral("/acme/Tool.conf")), before);
}

void TestIniRegistry::writeFailsWhenTheFileCannotBeReplaced()
{
    // A directory where the file should be: nothing can be renamed over it.
    QVERIFY(QDir().mkpath(config() + QStringLiteral("/combo/Vorelin.conf")));
    IniRegistry registry;
    QVERIFY(!registry.RegWrite(kHistoryPath + u'0', QStringLiteral("A")));
    QVERIFY(QFileInfo(config() + QStringLiteral("/combo/Vorelin.conf")).isDir());
    QVERIFY(!registry.RegRead(kHistoryPath + u'0').isValid());
}

void TestIniRegistry::refusedUpdateLeavesTheFileAsItWas_data()
{
    QTest::addColumn<QList<Registry::Text>>("values");
    QTest::addColumn<bool>("refuse");

    QTest::newRow("update gives nothing") << QList<Registry::Text>() << true;
    QTest::newRow("update writes into another file")
        << QList<Registry::Text>{{QStringLiteral("HKCU\\Software\\acme\\Tool\\X"), "B"}} << false;
    QTest::newRow("update writes a malformed path")
        << QList<Registry::Text>{{kHistoryPath + u'1', "B"}, {QStringLiteral("HKCU\\x/y"), "C"}}
        << false;
    QTest::newRow("update writes no value") << QList<Registry::Text>() << false;
}

void TestIniRegistry::refusedUpdateLeavesTheFileAsItWas()
{
    QFETCH(QList<Registry::Text>, values);
    QFETCH(bool, refuse);

    const QString file = config() + QStringLiteral("/combo/Vorelin.conf");
    writeFile(file, "[General]\nList0=A\n");
    IniRegistry registry;
    QVariant read;
    QVERIFY(!registry.RegUpdateMany({kHistoryPath + u'0'}, [&](const QList<QVariant>& current) {
        read = current.value(0);
        return refuse ? std::nullopt : std::optional<QList<Registry::Text>>(values);
    }));
    QCOMPARE(read.toString(), QStringLiteral("A"));
    QCOMPARE(readFile(file), QByteArray("[General]\nList0=A\n"));
    QCOMPARE(filesBelow(config()), QStringList{QStringLiteral("combo/Vorelin.conf")});
}

void TestIniRegistry::writesThroughALinkedFileKeepingItsOtherValues()
{
    // As a dotfile manager leaves it: the config file is a link into another directory.
    const QString real = config() + QStringLiteral("/dotfiles/Vorelin.conf");
    writeFile(real, "[General]\nList0=B\nWidth=300\n\n[Window]\nState=max\n");
    QVERIFY(QDir().mkpath(config() + QStringLiteral("/combo")));
    QVERIFY(QFile::link(real, config() + QStringLiteral("/combo/Vorelin.conf")));

    IniRegistry registry;
    QVERIFY(registry.RegWrite(kHistoryPath + u'0', QStringLiteral("A")));
    QVERIFY(registry.RegWrite(kHistoryPath + u'1', QStringLiteral("B")));
    QVERIFY(QFileInfo(config() + QStringLiteral("/combo/Vorelin.conf")).isSymLink());
    QSettings written(real, QSettings::IniFormat);
    QCOMPARE(written.value("List0").toString(), QStringLiteral("A"));
    QCOMPARE(written.value("List1").toString(), QStringLiteral("B"));
    QCOMPARE(written.value("Width").toString(), QStringLiteral("300"));
    QCOMPARE(written.value("Window/State").toString(), QStringLiteral("max"));
    QCOMPARE(filesBelow(config()), QStringList({QStringLiteral("combo/Vorelin.conf"),
                                                QStringLiteral("dotfiles/Vorelin.conf")}));
}

QTEST_GUILESS_MAIN(TestIniRegistry)
#include "tst_iniregistry.moc"
