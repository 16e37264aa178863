#include "platform/dialogs/MessageBox.h"
#include "platform/registry/IniRegistry.h"
#include "settings/RecipientBox.h"
#include "settings/RecipientHistory.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>

namespace {

const QString kRememberHelper = QStringLiteral("--remember");
const QString kWaitForGo = QStringLiteral("--wait");

class RecordingMessageBox final : public MessageBox
{
public:
    struct Shown
    {
        QWidget* parent;
        QString text;
        QString title;
        Icon icon;
    };

    void show(QWidget* parent, const QString& text, const QString& title, Icon icon) override
    {
        shown.append({parent, text, title, icon});
    }

    QList<Shown> shown;
};

// Passes every call on to the real registry and counts them.
class CountingRegistry final : public Registry
{
public:
    QVariant RegRead(const QString& path) override
    {
        ++reads;
        return m_real.RegRead(path);
    }
    bool RegWrite(const QString& path, const QString& data) override
    {
        ++writes;
        return m_real.RegWrite(path, data);
    }
    bool RegWriteDword(const QString& path, qint32 data) override
    {
        ++writes;
        return m_real.RegWriteDword(path, data);
    }
    bool RegDelete(const QString& path) override
    {
        ++writes;
        return m_real.RegDelete(path);
    }
    QList<QVariant> RegReadMany(const QList<QString>& paths) override
    {
        ++reads;
        return m_real.RegReadMany(paths);
    }
    bool RegWriteMany(const QList<Text>& values) override
    {
        ++writes;
        return m_real.RegWriteMany(values);
    }
    bool RegUpdateMany(const QList<QString>& paths, const Update& update) override
    {
        ++reads;
        ++writes;
        return m_real.RegUpdateMany(paths, update);
    }

    int reads = 0;
    int writes = 0;

private:
    IniRegistry m_real;
};

using P = QFileDevice::Permission;
const QFileDevice::Permissions kReadable = P::ReadOwner | P::ReadGroup | P::ReadOther;
const QFileDevice::Permissions kSearchable = kReadable | P::ExeOwner | P::ExeGroup | P::ExeOther;
const QFileDevice::Permissions kWritable =
    kReadable | P::WriteOwner | P::WriteGroup | P::WriteOther;

// PC000, PC001, ... with the number in width digits.
QStringList numbered(int count, int width = 3)
{
    QStringList names;
    for (int n = 0; n < count; ++n)
        names.append(QStringLiteral("PC%1").arg(n, width, 10, QChar(u'0')));
    return names;
}

QString historyFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/combo/Vorelin.conf");
}

QByteArray readFile(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The history as someone would write it by hand; an empty text leaves an empty value.
QByteArray storeContent(const QStringList& values)
{
    QByteArray content = "[General]\n";
    for (qsizetype i = 0; i < values.size(); ++i) {
        QByteArray value = values[i].toUtf8();
        value.replace('\\', "\\\\").replace('"', "\\\"");
        content += "List" + QByteArray::number(i) + '=' +
                   (value.isEmpty() ? QByteArray() : '"' + value + '"') + '\n';
    }
    return content;
}

bool writeStore(const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(historyFile()).absolutePath()))
        return false;
    QFile file(historyFile());
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// List0 to List(count-1) as they are on disk now, parsed from a copy of the file so that
// QSettings cannot answer from what this process wrote earlier.
QStringList storedValues(int count)
{
    QTemporaryDir copy;
    const QString copied = copy.path() + QStringLiteral("/copy.conf");
    if (!QFile::copy(historyFile(), copied))
        return {};
    QSettings settings(copied, QSettings::IniFormat);
    QStringList values;
    for (int i = 0; i < count; ++i)
        values.append(settings.value(QStringLiteral("List%1").arg(i)).toString());
    return values;
}

QStringList items(const QComboBox& box)
{
    QStringList texts;
    for (int i = 0; i < box.count(); ++i)
        texts.append(box.itemText(i));
    return texts;
}

// The list the box makes of these entries, in its own order.
QStringList sortedByTheBox(const QStringList& entries)
{
    RecipientBox box;
    for (const QString& entry : entries)
        box.addItem(entry);
    return items(box);
}

// Everything the history needs, wired as the window wires it, and loaded as the window loads.
struct Fixture
{
    explicit Fixture(bool load = true)
    {
        if (load)
            history.LoadRecipientHistory();
    }

    QWidget window;
    RecipientBox* combo1 = new RecipientBox(&window);
    IniRegistry registry;
    SettingsStore store{registry};
    RecordingMessageBox messages;
    RecipientHistory history{*combo1, store, messages};
};

// A separate run of the program: load, then remember text, then report. With --wait it
// reports "ready" after loading and waits for a line on stdin, so that two runs can be made
// to save at the same moment.
int rememberInChildProcess(const QString& text, bool waitForGo)
{
    Fixture program;
    if (waitForGo) {
        std::cout << "ready" << std::endl;
        std::string line;
        std::getline(std::cin, line);
    }
    program.combo1->setEditText(text);
    program.history.RememberRecipient(*program.combo1);
    std::cout << "messages=" << program.messages.shown.size() << '\n';
    for (const QString& item : items(*program.combo1))
        std::cout << "item=" << item.toStdString() << '\n';
    std::cout << std::flush;
    return 0;
}

struct ChildResult
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::NormalExit;
    int messages = -1;
    QStringList items;
};

ChildResult finish(QProcess& child, int timeout = 60000)
{
    ChildResult result;
    result.finished = child.waitForFinished(timeout);
    result.status = child.exitStatus();
    const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith("messages="))
            result.messages = line.mid(9).toInt();
        else if (line.startsWith("item="))
            result.items.append(QString::fromUtf8(line.mid(5)));
    }
    return result;
}

void startRemembering(QProcess& child, const QString& text, const QStringList& extra = {})
{
    child.setProgram(QCoreApplication::applicationFilePath());
    child.setArguments(QStringList{kRememberHelper, text} + extra);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start();
}

// Starts this program with arguments as a user whom file permissions bind: when the tests run
// as root, as nobody, from a copy of the program that nobody can reach.
void startUnprivileged(QProcess& run, const QTemporaryDir& programDir, const QStringList& arguments)
{
    if (::geteuid() != 0) {
        run.setProgram(QCoreApplication::applicationFilePath());
        run.setArguments(arguments);
        run.start();
        return;
    }
    const QString copy = programDir.path() + QStringLiteral("/program");
    QVERIFY(QFile::exists(copy) || QFile::copy(QCoreApplication::applicationFilePath(), copy));
    QVERIFY(QFile::setPermissions(programDir.path(), kSearchable | P::WriteOwner));
    QVERIFY(QFile::setPermissions(copy, kSearchable));
    run.setProgram(QStringLiteral("setpriv"));
    run.setArguments(QStringList{QStringLiteral("--reuid=nobody"),
                                 QStringLiteral("--regid=nogroup"),
                                 QStringLiteral("--clear-groups"), copy} +
                     arguments);
    run.start();
}

} // namespace

class TestRecipientHistory : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void loadsTheStoredList_data();
    void loadsTheStoredList();
    void loadsWhatItCanFromADamagedFile_data();
    void loadsWhatItCanFromADamagedFile();

    void remembersNewRecipientsOnly_data();
    void remembersNewRecipientsOnly();
    void savesComboOneWhateverBoxIsGiven();
    void readsTheStoreOnceAndWritesItOnce();

    void showsProblemWhenTheBoxRefusesTheEntry();
    void showsProblemWhenTheCountLeavesSixteenBits();

    void historySurvivesARestart();
    void crashWhileSavingLeavesTheOldList_data();
    void crashWhileSavingLeavesTheOldList();
    void twoWindowsKeepEachOthersRecipients();
    void keepsWhatAnotherWindowStored_data();
    void keepsWhatAnotherWindowStored();
    void oddConfigKeepsTheOldFileSilently_data();
    void oddConfigKeepsTheOldFileSilently();

private:
    std::unique_ptr<QTemporaryDir> m_config;
};

void TestRecipientHistory::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    QVERIFY(m_config->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
}

void TestRecipientHistory::loadsTheStoredList_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("loaded");

    QTest::newRow("first start, no store") << QByteArray() << QStringList();
    QTest::newRow("empty List0") << storeContent({"", "B"}) << QStringList();
    QTest::newRow("empty List2 ends the list")
        << storeContent({"A", "B", "", "D"}) << QStringList({"A", "B"});
    QTest::newRow("missing List2 ends the list")
        << QByteArray("[General]\nList0=A\nList1=B\nList3=D\n") << QStringList({"A", "B"});
    QTest::newRow("duplicates and spaces load unchanged")
        << storeContent({"  PC01  ", "PC01", "PC01", "pc01"})
        << QStringList({"  PC01  ", "PC01", "PC01", "pc01"});
    QTest::newRow("hand-written a, b is one entry")
        << QByteArray("[General]\nList0=a, b\nList1=c\n") << QStringList({"a, b", "c"});
    QTest::newRow("order in the file does not matter")
        << QByteArray("[General]\nList1=B\nList0=A\n") << QStringList({"A", "B"});

    const QStringList six = numbered(601);
    QTest::newRow("List0 to List600 load only 501") << storeContent(six) << six.mid(0, 501);
}

void TestRecipientHistory::loadsTheStoredList()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, loaded);

    if (!content.isNull())
        QVERIFY(writeStore(content));
    Fixture program;

    QStringList got = items(*program.combo1);
    got.sort();
    loaded.sort();
    QCOMPARE(got, loaded);
    QCOMPARE(program.combo1->currentIndex(), -1);
    QCOMPARE(program.combo1->currentText(), QString());
    QCOMPARE(program.messages.shown.size(), 0);
}

void TestRecipientHistory::loadsWhatItCanFromADamagedFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("including");

    const QByteArray junk("\x00\x01\x02\x7f\x80\xfe\xff\xc3\x28 \x1b[0m", 15);
    QTest::newRow("garbage before the section")
        << QByteArray("\x00\x01\xff\xfe garbage\n=\n[[[\n[General]\nList0=A\nList1=B\n", 44) << 2
        << QStringList({"A", "B"});
    QTest::newRow("binary junk as a value") << "[General]\nList0=A\nList1=" + junk + "\nList2=C\n"
                                            << 3 << QStringList({"A", "C"});
    QTest::newRow("binary junk lines between values")
        << "[General]\nList0=A\n" + junk + "\n" + junk + "=" + junk + "\nList1=B\n"
        << 2 << QStringList({"A", "B"});
    QTest::newRow("unterminated quote at the end")
        << QByteArray("[General]\nList0=A\nList1=\"never closed") << 2 << QStringList({"A"});
    QTest::newRow("unterminated quote swallows what follows")
        << QByteArray("[General]\nList0=A\nList1=\"open\nList2=C\n") << 2 << QStringList({"A"});
    QTest::newRow("unterminated section header")
        << QByteArray("[General]\nList0=A\n[Gener\nList1=B\n") << 1 << QStringList({"A"});
    QTest::newRow("undecodable variant ends the list")
        << QByteArray("[General]\nList0=A\nList1=@Variant(\\0\\0\\0\\x7f\\0\\xff)\nList2=C\n") << 1
        << QStringList({"A"});
    QTest::newRow("ten-megabyte value")
        << "[General]\nList0=A\nList1=" + QByteArray(10 * 1024 * 1024, 'x') + "\nList2=C\n"
        << 3 << QStringList({"A", "C"});
    QTest::newRow("ten-megabyte line without a key")
        << "[General]\n" + QByteArray(10 * 1024 * 1024, ';') + "\nList0=A\n"
        << 1 << QStringList({"A"});
    QTest::newRow("ten-megabyte list of commas")
        << "[General]\nList0=A\nList1=" + QByteArray(10 * 1024 * 1024, ',') + "\n"
        << 2 << QStringList({"A"});
}

void TestRecipientHistory::loadsWhatItCanFromADamagedFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(QStringList, including);

    QVERIFY(writeStore(content));
    Fixture program;

    QCOMPARE(program.combo1->count(), count);
    for (const QString& entry : including)
        QVERIFY2(program.combo1->findText(entry, Qt::MatchFixedString | Qt::MatchCaseSensitive) >=
                     0,
                 qPrintable(entry));
    QCOMPARE(program.messages.shown.size(), 0);
}

void TestRecipientHistory::remembersNewRecipientsOnly_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("picked"); // from the list, else typed

    const auto row = [](const char* name, const QStringList& stored, const char* typed,
                        const QStringList& list, const QStringList& after, const char* text,
                        bool picked = false) {
        QTest::newRow(name) << stored << QString::fromUtf8(typed) << list << after
                            << QString::fromUtf8(text) << picked;
    };
    // "after" is List0, List1, ... on disk afterwards, or empty when nothing may be written.
    row("first recipient", {}, "PC01", {"PC01"}, {"PC01", ""}, "");
    row("known recipient", {"PC01"}, "PC01", {"PC01"}, {}, "PC01");
    row("known recipient picked from the list", {"PC01", "PC02"}, "PC02", {"PC01", "PC02"}, {},
        "PC02", true);
    row("known recipient with spaces around", {"PC01"}, "  PC01  ", {"PC01"}, {}, "  PC01  ");
    row("new recipient stored without its spaces", {"PC01"}, "  PC02  ", {"PC01", "PC02"},
        {"PC01", "PC02", ""}, "");
    row("letter case makes a new recipient", {"PC01"}, "pc01", {"PC01", "pc01"},
        {"PC01", "pc01", ""}, "");
    row("a tab is not trimmed", {"PC01"}, "PC01\t", {"PC01", "PC01\t"}, {"PC01", "PC01\t", ""}, "");
    row("empty text", {"PC01"}, "", {"PC01"}, {}, "");
    row("spaces only, empty list", {}, "   ", {}, {}, "   ");
    row("spaces only", {"PC01"}, "   ", {"PC01"}, {}, "   ");
    row("B, C, D stored, adding A rewrites all four", {"B", "C", "D"}, "A", {"A", "B", "C", "D"},
        {"A", "B", "C", "D", ""}, "");
    row("values past the end stay", {"B", "C", "D", "", "Z", "Y"}, "A", {"A", "B", "C", "D"},
        {"A", "B", "C", "D", "Z", "Y", ""}, "");
}

void TestRecipientHistory::remembersNewRecipientsOnly()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, typed);
    QFETCH(QStringList, list);
    QFETCH(QStringList, after);
    QFETCH(QString, text);
    QFETCH(bool, picked);

    if (!stored.isEmpty())
        QVERIFY(writeStore(storeContent(stored)));
    const QByteArray before = readFile(historyFile());
    const bool existed = QFileInfo::exists(historyFile());
    Fixture program;
    if (picked)
        program.combo1->setCurrentIndex(program.combo1->findText(typed));
    else
        program.combo1->setEditText(typed);

    program.history.RememberRecipient(*program.combo1);

    QCOMPARE(items(*program.combo1), list);
    QCOMPARE(program.combo1->currentText(), text);
    QCOMPARE(program.combo1->currentIndex(), picked ? int(list.indexOf(typed)) : -1);
    QCOMPARE(program.messages.shown.size(), 0);
    if (after.isEmpty()) {
        QCOMPARE(QFileInfo::exists(historyFile()), existed);
        QCOMPARE(readFile(historyFile()), before);
    } else {
        QCOMPARE(storedValues(after.size()), after);
    }
}

void TestRecipientHistory::savesComboOneWhateverBoxIsGiven()
{
    QVERIFY(writeStore(storeContent({"P", "Q"})));
    Fixture program;
    RecipientBox other;
    other.addItem(QStringLiteral("M"));
    other.setEditText(QStringLiteral("X"));

    program.history.RememberRecipient(other);

    QCOMPARE(items(other), QStringList({"M", "X"}));
    QCOMPARE(items(*program.combo1), QStringList({"P", "Q"}));
    QCOMPARE(program.combo1->currentIndex(), -1);
    QCOMPARE(program.combo1->currentText(), QString());
    QCOMPARE(storedValues(3), QStringList({"P", "Q", ""}));
}

void TestRecipientHistory::readsTheStoreOnceAndWritesItOnce()
{
    const QStringList stored = numbered(500);
    QVERIFY(writeStore(storeContent(stored)));
    CountingRegistry registry;
    SettingsStore store(registry);
    RecordingMessageBox messages;
    RecipientBox combo1;
    RecipientHistory history(combo1, store, messages);

    history.LoadRecipientHistory();
    QCOMPARE(combo1.count(), 500);
    QCOMPARE(registry.reads, 1);
    QCOMPARE(registry.writes, 0);

    // Remembering reads again under the lock and writes in the same call.
    combo1.setEditText(QStringLiteral("NEW"));
    history.RememberRecipient(combo1);
    QCOMPARE(registry.reads, 2);
    QCOMPARE(registry.writes, 1);
    QCOMPARE(storedValues(501), items(combo1));

    combo1.setEditText(QStringLiteral("NEW"));
    history.RememberRecipient(combo1);
    QCOMPARE(registry.writes, 1);
}

void TestRecipientHistory::showsProblemWhenTheBoxRefusesTheEntry()
{
    QVERIFY(writeStore(storeContent({"A", "B"})));
    const QByteArray before = readFile(historyFile());
    Fixture program;
    program.combo1->setMaxCount(2);
    program.combo1->setEditText(QStringLiteral("C"));

    program.history.RememberRecipient(*program.combo1);

    QCOMPARE(program.messages.shown.size(), 1);
    const auto& shown = program.messages.shown.first();
    QCOMPARE(shown.text, QStringLiteral("Problemas!. \r\nTrate de Nuevo."));
    QCOMPARE(shown.title, QStringLiteral("Error"));
    QCOMPARE(shown.icon, MessageBox::Icon::Warning);
    QCOMPARE(shown.parent, &program.window);
    QCOMPARE(items(*program.combo1), QStringList({"A", "B"}));
    QCOMPARE(readFile(historyFile()), before);
}

void TestRecipientHistory::showsProblemWhenTheCountLeavesSixteenBits()
{
    Fixture program(false);
    QStringList full;
    for (int n = 0; n < RecipientHistory::kMaxEntries; ++n)
        full.append(QStringLiteral("E%1").arg(n, 5, 10, QChar(u'0')));
    // Already in order, so the plain append of QComboBox keeps the list sorted.
    program.combo1->addItems(full);
    program.combo1->setEditText(QStringLiteral("ZZZ"));

    program.history.RememberRecipient(*program.combo1);

    QCOMPARE(program.messages.shown.size(), 1);
    QCOMPARE(program.messages.shown.first().text,
             QStringLiteral("Problemas!. \r\nTrate de Nuevo."));
    // What was done before the error stays: the entry is in the list; nothing was written.
    QCOMPARE(program.combo1->count(), RecipientHistory::kMaxEntries + 1);
    QCOMPARE(program.combo1->itemText(RecipientHistory::kMaxEntries), QStringLiteral("ZZZ"));
    QVERIFY(!QFileInfo::exists(historyFile()));
}

void TestRecipientHistory::historySurvivesARestart()
{
    for (const QString& recipient : {QStringLiteral("PC02"), QStringLiteral("PC01")}) {
        QProcess run;
        startRemembering(run, recipient);
        const ChildResult result = finish(run);
        QVERIFY(result.finished);
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.messages, 0);
    }
    Fixture program;
    QCOMPARE(items(*program.combo1), QStringList({"PC01", "PC02"}));
}

void TestRecipientHistory::crashWhileSavingLeavesTheOldList_data()
{
    QTest::addColumn<bool>("killed");

    QTest::newRow("killed while writing the new file") << true;
    QTest::newRow("not killed") << false;
}

void TestRecipientHistory::crashWhileSavingLeavesTheOldList()
{
    QFETCH(bool, killed);

    // Four long entries: the old file of three is about 9 KiB, the new one about 12 KiB.
    const QString b = u'B' + QString(3000, u'b');
    const QString c = u'C' + QString(3000, u'c');
    const QString d = u'D' + QString(3000, u'd');
    const QString a = u'A' + QString(3000, u'a');
    QVERIFY(writeStore(storeContent({b, c, d})));
    const QByteArray before = readFile(historyFile());

    QProcess run;
    if (killed) {
        // The kernel stops the process with SIGXFSZ when a file it writes passes 10 KiB: in
        // the middle of writing the new list, or, if values were stored one by one, at the
        // fourth value, after A, B and C had replaced B, C and D.
        run.setChildProcessModifier([] {
            const rlimit fileSize{10240, 10240};
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
            ::setrlimit(RLIMIT_CORE, &noCore);
        });
    }
    startRemembering(run, a);
    const ChildResult result = finish(run);
    QVERIFY(result.finished);

    if (killed) {
        QCOMPARE(result.status, QProcess::CrashExit);
        QCOMPARE(readFile(historyFile()), before);
        QCOMPARE(storedValues(4), QStringList({b, c, d, ""}));
    } else {
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(storedValues(5), QStringList({a, b, c, d, ""}));
    }
    Fixture program;
    QCOMPARE(program.combo1->count(), killed ? 3 : 4);
}

void TestRecipientHistory::twoWindowsKeepEachOthersRecipients()
{
    const QStringList stored = numbered(40, 2);
    const QString first = QStringLiteral("NEW-A");
    const QString second = QStringLiteral("NEW-B");
    const QStringList both = sortedByTheBox(stored + QStringList{first, second});

    for (int round = 0; round < 3; ++round) {
        QVERIFY(QDir(m_config->path() + QStringLiteral("/combo")).removeRecursively());
        QVERIFY(writeStore(storeContent(stored)));

        // Both load the same list, then both remember a new recipient at once.
        QProcess one;
        QProcess two;
        startRemembering(one, first, {kWaitForGo});
        startRemembering(two, second, {kWaitForGo});
        for (QProcess* run : {&one, &two}) {
            const QDeadlineTimer deadline(30000);
            while (!run->canReadLine() && !deadline.hasExpired())
                run->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            QCOMPARE(run->readLine(), QByteArray("ready\n"));
        }
        for (QProcess* run : {&one, &two}) {
            run->write("go\n");
            run->closeWriteChannel();
        }
        const ChildResult oneResult = finish(one);
        const ChildResult twoResult = finish(two);
        QVERIFY(oneResult.finished && twoResult.finished);
        QCOMPARE(oneResult.messages, 0);
        QCOMPARE(twoResult.messages, 0);

        QCOMPARE(storedValues(int(both.size()) + 1), both + QStringList{QString()});
        // The one that saved last took in the other's entry.
        QVERIFY(oneResult.items == both || twoResult.items == both);
        QCOMPARE(
            QDir(m_config->path() + QStringLiteral("/combo")).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("Vorelin.conf")});
    }
}

void TestRecipientHistory::keepsWhatAnotherWindowStored_data()
{
    QTest::addColumn<QStringList>("loaded");
    QTest::addColumn<QStringList>("meanwhile");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("list");

    // "meanwhile" is what another window left in the store after this one loaded "loaded";
    // "list" is Combo1 afterwards in any order, stored whole as List0, List1, ...
    QTest::newRow("another window's entry joins")
        << QStringList({"A", "B"}) << QStringList({"A", "B", "X"}) << "C"
        << QStringList({"A", "B", "C", "X"});
    QTest::newRow("the same entry stored by both is listed once")
        << QStringList({"A"}) << QStringList({"A", "C"}) << "C" << QStringList({"A", "C"});
    QTest::newRow("stored duplicates stay as a load keeps them")
        << QStringList({"A", "A"}) << QStringList({"A", "A", "X", "X"}) << "C"
        << QStringList({"A", "A", "C", "X", "X"});
    QTest::newRow("letter case makes another entry")
        << QStringList({"PC01"}) << QStringList({"PC01", "pc01"}) << "C"
        << QStringList({"C", "PC01", "pc01"});
    QTest::newRow("an empty value ends the re-read")
        << QStringList({"A"}) << QStringList({"A", "X", "", "Y"}) << "C"
        << QStringList({"A", "C", "X"});
    QTest::newRow("a shorter store loses nothing of this window's")
        << QStringList({"A", "B", "D"}) << QStringList({"A"}) << "C"
        << QStringList({"A", "B", "C", "D"});
    const QStringList six = numbered(600);
    QTest::newRow("the re-read stops at List500")
        << QStringList() << six << "C" << six.mid(0, 501) + QStringList{"C"};
}

void TestRecipientHistory::keepsWhatAnotherWindowStored()
{
    QFETCH(QStringList, loaded);
    QFETCH(QStringList, meanwhile);
    QFETCH(QString, typed);
    QFETCH(QStringList, list);

    QVERIFY(writeStore(storeContent(loaded)));
    Fixture program;
    QVERIFY(writeStore(storeContent(meanwhile)));
    program.combo1->setEditText(typed);

    program.history.RememberRecipient(*program.combo1);

    const QStringList expected = sortedByTheBox(list);
    QCOMPARE(items(*program.combo1), expected);
    QCOMPARE(storedValues(int(expected.size())), expected);
    QCOMPARE(program.combo1->currentIndex(), -1);
    QCOMPARE(program.combo1->currentText(), QString());
    QCOMPARE(program.messages.shown.size(), 0);
}

void TestRecipientHistory::oddConfigKeepsTheOldFileSilently_data()
{
    QTest::addColumn<QString>("odd");

    QTest::newRow("neither directory nor file writable") << "read-only directory and file";
    QTest::newRow("file read-only in a writable directory") << "read-only file";
    QTest::newRow("directory read-only, file writable") << "read-only directory";
    QTest::newRow("lock path is a directory") << "lock directory";
    QTest::newRow("lock path is a FIFO") << "lock FIFO";
    QTest::newRow("lock held by a live process") << "lock held";
    QTest::newRow("stale lock in a directory the user cannot write") << "stale lock";
    QTest::newRow("FIFO at the config path") << "config FIFO";
}

void TestRecipientHistory::oddConfigKeepsTheOldFileSilently()
{
    QFETCH(QString, odd);

    const bool readOnly = odd.startsWith(QLatin1String("read-only"));
    const bool asRoot = ::geteuid() == 0;
    if (readOnly && asRoot && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("running as root and setpriv (util-linux) is missing: cannot drop to a user "
              "for whom the config directory is read-only");

    const QString directory = QFileInfo(historyFile()).absolutePath();
    const QString lockName = historyFile() + QStringLiteral(".lock");
    const bool fifo = odd == QLatin1String("config FIFO");
    const QStringList loaded = fifo ? QStringList() : QStringList({"B", "C"});
    if (fifo) {
        QVERIFY(QDir().mkpath(directory));
        QCOMPARE(::mkfifo(QFile::encodeName(historyFile()).constData(), 0666), 0);
    } else {
        QVERIFY(writeStore(storeContent(loaded)));
    }
    std::unique_ptr<QLockFile> held;
    if (odd == QLatin1String("lock directory")) {
        QVERIFY(QDir().mkpath(lockName + QStringLiteral("/inside")));
    } else if (odd == QLatin1String("lock FIFO")) {
        QCOMPARE(::mkfifo(QFile::encodeName(lockName).constData(), 0666), 0);
    } else if (odd == QLatin1String("lock held")) {
        held = std::make_unique<QLockFile>(lockName);
        QVERIFY(held->lock());
    } else if (odd == QLatin1String("stale lock")) {
        // Left by a process that is gone, in a directory where it cannot be removed; the file
        // itself stays writable.
        QFile lock(lockName);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        QVERIFY(lock.write("2147483646\nvorelin\n\n") > 0);
        lock.close();
        QVERIFY(QFile::setPermissions(historyFile(), kWritable));
        QVERIFY(QFile::setPermissions(m_config->path(), kSearchable | P::WriteOwner));
        QVERIFY(QFile::setPermissions(directory, kSearchable));
    } else if (readOnly) {
        const auto writableIf = [](bool writable) {
            return writable ? kWritable : kReadable;
        };
        QVERIFY(QFile::setPermissions(m_config->path(), kSearchable | P::WriteOwner));
        QVERIFY(QFile::setPermissions(historyFile(), writableIf(!odd.contains("file"))));
        QVERIFY(
            QFile::setPermissions(directory, writableIf(!odd.contains("directory")) | kSearchable));
    }
    // Reading a FIFO would wait for a writer.
    const QByteArray before = fifo ? QByteArray() : readFile(historyFile());
    const QStringList entries = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden);

    // A freeze shows as a run that does not end.
    QProcess run;
    QTemporaryDir programDir;
    if (readOnly || odd == QLatin1String("stale lock"))
        startUnprivileged(run, programDir, {kRememberHelper, QStringLiteral("A")});
    else
        startRemembering(run, QStringLiteral("A"));
    const ChildResult result = finish(run);
    QFile::setPermissions(directory, kWritable | kSearchable);

    QVERIFY(result.finished);
    if (readOnly && asRoot && result.messages < 0)
        QSKIP(qPrintable("setpriv could not run the program as nobody: " +
                         QString::fromLocal8Bit(run.readAllStandardError())));
    QCOMPARE(result.status, QProcess::NormalExit);
    QCOMPARE(result.messages, 0);
    QCOMPARE(result.items, sortedByTheBox(loaded + QStringList{"A"}));
    if (!fifo)
        QCOMPARE(readFile(historyFile()), before);
    QCOMPARE(QFileInfo(historyFile()).isFile(), !fifo);
    QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::Hidden), entries);
    QCOMPARE(QFileInfo(lockName).isDir(), odd == QLatin1String("lock directory"));
    if (held)
        QVERIFY(held->isLocked());
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 3 && arguments[1] == kRememberHelper)
        return rememberInChildProcess(arguments[2], arguments.contains(kWaitForGo));
    TestRecipientHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recipienthistory.moc"
