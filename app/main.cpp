#include "app/Fonts.h"
#include "app/Form1.h"
#include "app/PlatformChoice.h"
#include "app/QtCommandLine.h"
#include "identity/LocalIdentity.h"
#include "platform/dialogs/LinuxMessageBox.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/network/LinuxNetworkAdapters.h"
#include "platform/pointer/LinuxBusyPointer.h"
#include "platform/registry/IniRegistry.h"
#include "platform/tray/AniTray.h"
#include "settings/SettingsStore.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Qt's messages while it connects to the display: held back, and replaced by one line if it
// gives up, instead of its advice to reinstall and an abort.
std::vector<std::pair<QtMsgType, QString>> startMessages;
QtMessageHandler qtHandler = nullptr;

void holdStartMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg) {
        std::fputs("vorelin: no display found (is DISPLAY or WAYLAND_DISPLAY set and "
                   "reachable?)\n",
                   stderr);
        std::_Exit(EXIT_FAILURE);
    }
    startMessages.emplace_back(type, text);
}

std::unique_ptr<QApplication> connectToDisplay(int& argc, char* argv[])
{
    qtHandler = qInstallMessageHandler(holdStartMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(qtHandler);
    for (const auto& [type, text] : startMessages)
        qtHandler(type, QMessageLogContext(), text);
    startMessages.clear();
    return app;
}

} // namespace

int main(int argc, char* argv[])
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends short messages to other computers on the local network.\n"
                       "The window takes no other options than Qt's own; see vorelin(1)."));
    if (const auto status = readCommandLine(parser, "vorelin", VORELIN_VERSION, argc, argv))
        return *status;

    const PlatformChoice platform = applyPlatformChoice(argc, argv);
    const std::unique_ptr<QApplication> app = connectToDisplay(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorelin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vorelin"));
    installFontSubstitutes();

    // One look at the host name serves both the sender's machine name and Text2.
    LinuxComputerName computer;
    LinuxNetworkAdapters adapters;
    const QString computerName = GetLocalComputerName(computer);
    const auto network = NetworkConfigParser::load();
    if (network.error)
        std::fprintf(stderr, "vorelin: %s\n", network.error->c_str());
    SmbMessengerOptions options;
    options.apply(network.config);
    SmbMessenger messenger(computerName, options, &adapters);
    LinuxBusyPointer busyPointer;
    LinuxMessageBox messageBox;
    IniRegistry registry;
    SettingsStore settings(registry);
    AniTray tray;

    const Form1::Services services{
        messenger,
        busyPointer,
        messageBox,
        settings,
        tray,
        [&adapters] { return GetLocalIPAddress(adapters); },
        [computerName] { return computerName; },
        platform.hidesOnMinimize(QGuiApplication::platformName()),
    };
    Form1 form(services);
    form.Form_Load();
    if (form.failed())
        return EXIT_FAILURE;
    form.show();
    return QApplication::exec();
}
