// Start-up load and one remembered recipient against a history of realistic size, with the
// real INI store in a throwaway config directory. Prints the medians; the targets are under
// 10 ms for loading 501 recipients, and for remembering one more beside 500 at most five times
// the floor of a durable write: a plain write + fsync + rename + directory fsync of the same
// bytes in the same directory, measured in the same rounds.
//
// Usage: bench_history [ROUNDS]   (default 41)

#include "platform/dialogs/MessageBox.h"
#include "platform/registry/IniRegistry.h"
#include "settings/RecipientBox.h"
#include "settings/RecipientHistory.h"
#include "settings/SettingsStore.h"

#include "DurableWrite.h"
#include "Median.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class CountingMessageBox final : public MessageBox
{
public:
    void show(QWidget*, const QString&, const QString&, Icon) override { ++shown; }
    int shown = 0;
};

QString recipient(int i)
{
    return QStringLiteral("EQUIPO-%1").arg(i, 4, 10, QLatin1Char('0'));
}

// Stores exactly List0..List(count-1), the way a previous save leaves them.
void storeHistory(SettingsStore& store, int count)
{
    QFile::remove(IniRegistry::locate(RecipientHistory::path(0))->fileName);
    QList<Registry::Text> values;
    for (int i = 0; i < count; ++i)
        values.append({RecipientHistory::path(i), recipient(i)});
    store.CreateKeys(values);
}

double millisecondsSince(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QTemporaryDir config;
    if (!config.isValid())
        return 2;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 41;

    IniRegistry registry;
    SettingsStore store(registry);
    CountingMessageBox messageBox;

    std::vector<double> loads;
    storeHistory(store, 501);
    for (int round = 0; round < rounds; ++round) {
        RecipientBox combo1;
        RecipientHistory history(combo1, store, messageBox);
        QElapsedTimer timer;
        timer.start();
        history.LoadRecipientHistory();
        loads.push_back(millisecondsSince(timer));
        if (combo1.count() != 501) {
            std::fprintf(stderr, "loaded %d recipients, not 501\n", combo1.count());
            return 1;
        }
    }

    const QString historyFile = IniRegistry::locate(RecipientHistory::path(0))->fileName;
    const QString directory = QFileInfo(historyFile).absolutePath();
    std::vector<double> remembers;
    std::vector<double> anchors;
    for (int round = 0; round < rounds; ++round) {
        storeHistory(store, 500);
        RecipientBox combo1;
        RecipientHistory history(combo1, store, messageBox);
        history.LoadRecipientHistory();
        combo1.setEditText(QStringLiteral("NUEVO-%1").arg(round));
        QElapsedTimer timer;
        timer.start();
        history.RememberRecipient(combo1);
        remembers.push_back(millisecondsSince(timer));
        if (combo1.count() != 501 || store.ReadKey(RecipientHistory::path(500)).isEmpty()) {
            std::fprintf(stderr, "the new recipient was not stored (%d in the list, %d boxes)\n",
                         combo1.count(), messageBox.shown);
            return 1;
        }
        QFile saved(historyFile);
        if (!saved.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray bytes = saved.readAll();
        timer.start();
        if (!durableWrite(directory, bytes)) {
            std::perror("durable write");
            return 1;
        }
        anchors.push_back(millisecondsSince(timer));
    }
    if (messageBox.shown != 0) {
        std::fprintf(stderr, "the history reported %d problems\n", messageBox.shown);
        return 1;
    }

    std::printf("load 501 recipients:              median %.2f ms (target < 10 ms), %d rounds\n",
                median(loads), rounds);
    const double remember = median(remembers);
    const double anchor = median(anchors);
    std::printf("remember 1 beside 500, durable:   median %.2f ms, %d rounds\n", remember, rounds);
    std::printf("anchor: write+fsync+rename+dirsync median %.2f ms of the same %lld bytes\n",
                anchor, static_cast<long long>(QFileInfo(historyFile).size()));
    std::printf("remember / anchor:                %.1fx (target <= 5x)\n", remember / anchor);
    return 0;
}
