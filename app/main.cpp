#include "app/Fonts.h"
#include "app/Form1.h"
#include "app/PlatformChoice.h"
#include "identity/LocalIdentity.h"
#include "platform/dialogs/LinuxMessageBox.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/network/LinuxNetworkAdapters.h"
#include "platform/pointer/LinuxBusyPointer.h"
#include "platform/registry/IniRegistry.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QSystemTrayIcon>

int main(int argc, char* argv[])
{
    const PlatformChoice platform = applyPlatformChoice(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorelin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vorelin"));
    installFontSubstitutes();

    // One look at the host name serves both the sender's machine name and Text2.
    LinuxComputerName computer;
    LinuxNetworkAdapters adapters;
    const QString computerName = GetLocalComputerName(computer);
    SmbMessenger messenger(computerName, {}, &adapters);
    LinuxBusyPointer busyPointer;
    LinuxMessageBox messageBox;
    IniRegistry registry;
    SettingsStore settings(registry);

    const Form1::Services services{
        messenger,
        busyPointer,
        messageBox,
        settings,
        [&adapters] { return GetLocalIPAddress(adapters); },
        [computerName] { return computerName; },
        platform.hidesOnMinimize(QGuiApplication::platformName()) &&
            QSystemTrayIcon::isSystemTrayAvailable(),
    };
    Form1 form(services);
    form.Form_Load();
    if (form.failed())
        return EXIT_FAILURE;
    form.show();
    return app.exec();
}
