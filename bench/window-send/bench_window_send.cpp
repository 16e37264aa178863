// The window's send, from the click on ENVIAR to the status line painted, to a new recipient
// (which is remembered and written durably beside 500 others) against a known one, through
// the real messenger to a private smbd on loopback. Sends of both kinds alternate, so that
// they share the machine's state. Prints both medians and their ratio; the target is at most
// 1.1.
//
// Usage: bench_window_send [ROUNDS]   (default 21 of each)

#include "app/Fonts.h"
#include "app/Form1.h"
#include "platform/dialogs/MessageBox.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/pointer/BusyPointer.h"
#include "platform/registry/IniRegistry.h"
#include "platform/tray/Tray.h"
#include "settings/RecipientBox.h"
#include "settings/RecipientHistory.h"
#include "settings/SettingsStore.h"
#include "support/SambaServer.h"

#include "DurableWrite.h"
#include "Median.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

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

class NoPointer final : public BusyPointer
{
public:
    void showWait() override {}
    void showDefault() override {}
};

class NoTray final : public Tray
{
public:
    void show() override {}
    void startAnimation() override {}
    bool isAvailable() const override { return true; }
    void setUserActionHandler(UserAction) override {}
};

// Notes when the status line first paints a result after the click.
class PaintWatch final : public QObject
{
public:
    QElapsedTimer sinceClick;
    double paintedAtMs = -1.0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && paintedAtMs < 0 &&
            !static_cast<QLabel*>(watched)->text().isEmpty())
            paintedAtMs = double(sinceClick.nsecsElapsed()) / 1e6;
        return false;
    }
};

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
    installFontSubstitutes();
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 21;

    SambaServer receiver;
    QString error;
    if (!receiver.start({}, error)) {
        std::fprintf(stderr, "smbd: %s\n", qPrintable(error));
        return 2;
    }
    SmbMessengerOptions options;
    options.address = 0x7F000001;
    options.sessionPort = receiver.port();
    SmbMessenger messenger(QStringLiteral("VBENCH"), options);
    NoPointer pointer;
    CountingMessageBox boxes;
    NoTray tray;
    IniRegistry registry;
    SettingsStore settings(registry);
    QList<Registry::Text> stored;
    for (int i = 0; i < 500; ++i)
        stored.append({RecipientHistory::path(i),
                       QStringLiteral("EQUIPO-%1").arg(i, 4, 10, QLatin1Char('0'))});
    settings.CreateKeys(stored);

    Form1 form(Form1::Services{messenger, pointer, boxes, settings, tray,
                               [] { return QStringLiteral("127.0.0.1"); },
                               [] {
                                   return QStringLiteral("VBENCH");
                               }});
    form.Form_Load();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        return 2;
    auto* recipient = form.findChild<RecipientBox*>(QStringLiteral("Combo1"));
    auto* message = form.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    auto* send = form.findChild<QToolButton*>(QStringLiteral("Command1"));
    auto* status = form.findChild<QLabel*>(QStringLiteral("Label1"));
    PaintWatch watch;
    status->installEventFilter(&watch);

    // One send, click to status painted, in milliseconds; negative when it failed.
    const auto timedSend = [&](const QString& to) {
        recipient->setEditText(to);
        message->setPlainText(QStringLiteral("Reunion a las cinco"));
        QCoreApplication::processEvents();
        watch.paintedAtMs = -1.0;
        watch.sinceClick.start();
        QTest::mouseClick(send, Qt::LeftButton);
        for (int i = 0; i < 200 && watch.paintedAtMs < 0; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        // The offscreen platform may leave a later update unpainted; then it is painted now.
        if (watch.paintedAtMs < 0)
            status->repaint();
        const bool sent = status->text() == QStringLiteral("El Mensaje Fue Enviado");
        return sent ? watch.paintedAtMs : -1.0;
    };

    QFile historyFile(IniRegistry::locate(RecipientHistory::path(0))->fileName);
    const QByteArray historyBytes =
        historyFile.open(QIODevice::ReadOnly) ? historyFile.readAll() : QByteArray(10000, 'x');
    const QString floorFolder = QFileInfo(historyFile).absolutePath();

    std::vector<double> known, fresh, floor;
    timedSend(QStringLiteral("EQUIPO-0250")); // warm up
    for (int round = 0; round < rounds; ++round) {
        const double k = timedSend(QStringLiteral("EQUIPO-0250"));
        const double n = timedSend(QStringLiteral("NUEVO-%1").arg(round, 3, 10, QLatin1Char('0')));
        if (k < 0 || n < 0) {
            std::fprintf(stderr, "a send failed: %s\n", qPrintable(status->text()));
            return 1;
        }
        known.push_back(k);
        fresh.push_back(n);
        QElapsedTimer timer;
        timer.start();
        floor.push_back(durableWrite(floorFolder, historyBytes) ? double(timer.nsecsElapsed()) / 1e6
                                                                : -1.0);
        receiver.clearMessages();
    }
    if (boxes.shown != 0 || recipient->count() != 500 + rounds) {
        std::fprintf(stderr, "remembering failed: %d boxes, %d recipients\n", boxes.shown,
                     recipient->count());
        return 1;
    }
    const double ratio = median(fresh) / median(known);
    std::printf("send to a known recipient:  median %.2f ms, %d rounds\n", median(known), rounds);
    std::printf("send to a new recipient:    median %.2f ms (remembered beside 500+)\n",
                median(fresh));
    std::printf("new / known: %.2f (target <= 1.10)\n", ratio);
    std::printf("durable-write floor of the history file: median %.2f ms\n", median(floor));
    return 0;
}
