#include "BusyPointer.h"
#include "Fonts.h"
#include "Form1.h"
#include "IniRegistry.h"
#include "LocalIdentity.h"
#include "MessageBox.h"
#include "PlatformChoice.h"
#include "SettingsStore.h"
#include "SmbMessenger.h"

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
    const QString computerName = GetLocalComputerName();
    SmbMessenger messenger(computerName);
    QtBusyPointer busyPointer;
    QtMessageBox messageBox;
    IniRegistry registry;
    SettingsStore settings(registry);

    const Form1::Services services{
        messenger,
        busyPointer,
        messageBox,
        settings,
        [] { return GetLocalIPAddress(); },
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
