#include "platform/files/DurableFile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

class TestDurableFile : public QObject
{
    Q_OBJECT

private slots:
    void aWriterKilledMidSaveLeavesTheOldFileOrTheNew();
};

// A child saves two contents in turn and is killed while a save is under way; whatever the
// moment, the file holds one of them whole.
void TestDurableFile::aWriterKilledMidSaveLeavesTheOldFileOrTheNew()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("file")).toStdString();
    const std::string first(4 << 20, 'a');
    const std::string second(2 << 20, 'b');
    QVERIFY(DurableFile::write(path, first));
    for (int round = 0; round < 3; ++round) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            for (int save = 0; save < 1000; ++save)
                DurableFile::write(path, save % 2 ? first : second);
            ::_exit(0);
        }
        // Killed once a new file beside it has begun to fill.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        const auto saving = [&] {
            for (const QFileInfo& file :
                 QDir(dir.path())
                     .entryInfoList({QStringLiteral("file.tmp-*")}, QDir::Files | QDir::Hidden))
                if (file.size() > 0)
                    return true;
            return false;
        };
        while (!saving() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));

        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        QVERIFY2(
            content.str() == first || content.str() == second,
            qPrintable(QStringLiteral("round %1: %2 bytes").arg(round).arg(content.str().size())));
    }
}

QTEST_GUILESS_MAIN(TestDurableFile)
#include "tst_durablefile.moc"
