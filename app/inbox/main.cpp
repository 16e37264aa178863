// vorelin-inbox: pops up, keeps and answers the messages the messenger service receives.

#include "app/QtCommandLine.h"
#include "app/inbox/InboxHistory.h"
#include "app/inbox/InboxPaths.h"
#include "app/inbox/InboxWindow.h"
#include "app/inbox/ReplySender.h"
#include "app/inbox/ServiceClient.h"
#include "app/inbox/SingleInstance.h"
#include "app/inbox/Spanish.h"
#include "identity/LocalIdentity.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/notifications/LinuxNotifications.h"
#include "platform/tray/QtStatusIcon.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QFileInfo>
#include <QIcon>
#include <QSettings>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>

namespace {

// The units the service package installs; without them its socket never appears.
bool serviceInstalled()
{
    for (const char* unit :
         {"/lib/systemd/system/vorelind.socket", "/usr/lib/systemd/system/vorelind.socket",
          "/etc/systemd/system/vorelind.socket"})
        if (QFileInfo::exists(QString::fromLatin1(unit)))
            return true;
    return false;
}

QString runtimeDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                             : runtime;
}

} // namespace

int main(int argc, char* argv[])
{
    // A service that goes away mid-write must not take the inbox with it.
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows, keeps and answers the messages that vorelind receives."));
    const QCommandLineOption socketOption(
        QStringLiteral("socket"),
        QStringLiteral("The service's local socket (default %1).").arg(InboxPaths::kDefaultSocket),
        QStringLiteral("PATH"), InboxPaths::kDefaultSocket);
    const QCommandLineOption portOption(
        QStringLiteral("reply-port"),
        QStringLiteral("TCP port that answers are sent to (default 139)."), QStringLiteral("PORT"),
        QStringLiteral("139"));
    const QCommandLineOption backgroundOption(
        QStringLiteral("background"),
        QStringLiteral("Start without showing the window, as the session does."));
    parser.addOptions({socketOption, portOption, backgroundOption});
    // Options first: --help and --version need no display.
    if (const auto status = readCommandLine(parser, "vorelin-inbox", VORELIN_VERSION, argc, argv))
        return *status;

    bool portOk = false;
    const uint replyPort = parser.value(portOption).toUInt(&portOk);
    if (!portOk || replyPort < 1 || replyPort > 65535) {
        std::fprintf(stderr,
                     "vorelin-inbox: '%s' is not a port number from 1 to 65535 (see "
                     "vorelin-inbox --help)\n",
                     qPrintable(parser.value(portOption)));
        return 2;
    }
    const QString socketPath = parser.value(socketOption);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vorelin-inbox"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vorelin"));
    QApplication::setApplicationVersion(QStringLiteral(VORELIN_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("vorelin-inbox"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/icons/vorelin-48.png")));
    if (!Spanish::installQtTranslations(app))
        std::fputs("vorelin-inbox: Qt's Spanish translations are not installed "
                   "(qt6-translations-l10n); Qt's own texts stay in English\n",
                   stderr);
    // Closing the window hides it; the inbox lives as long as the session.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(InboxPaths::instanceSocket(runtimeDirectory(), socketPath));
    switch (instance.claim()) {
    case SingleInstance::Role::First:
        break;
    case SingleInstance::Role::Raised:
        return 0;
    case SingleInstance::Role::Failed:
        std::fprintf(stderr, "vorelin-inbox: cannot tell whether another inbox runs for %s\n",
                     qPrintable(socketPath));
        return 1;
    }

    LinuxComputerName computer;
    const QString computerName = GetLocalComputerName(computer);
    const auto network = NetworkConfigParser::load();
    if (network.error)
        std::fprintf(stderr, "vorelin-inbox: %s\n", network.error->c_str());
    ReplySender replies([computerName, replyPort, network](std::uint32_t address) {
        SmbMessengerOptions options;
        options.apply(network.config);
        options.address = address;
        options.sessionPort = std::uint16_t(replyPort);
        return std::make_unique<SmbMessenger>(computerName, options);
    });
    LinuxNotifications notifications(QDBusConnection::sessionBus(),
                                     QStringLiteral("vorelin-inbox"));
    InboxHistory history(InboxPaths::historyFile(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)));
    ServiceClient client({socketPath, socketPath == InboxPaths::kDefaultSocket
                                          ? std::function<bool()>(serviceInstalled)
                                          : std::function<bool()>()});

    QtStatusIcon statusIcon(QApplication::windowIcon());
    InboxWindow window({client, history, notifications, replies, &statusIcon});
    // "No molestar" is the user's choice until they change it.
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("vorelin"),
                       QStringLiteral("vorelin-inbox"));
    const QString doNotDisturbKey = QStringLiteral("doNotDisturb");
    window.setDoNotDisturb(settings.value(doNotDisturbKey, false).toBool());
    QObject::connect(&window, &InboxWindow::doNotDisturbChanged, &window,
                     [&settings, &doNotDisturbKey](bool on) {
                         settings.setValue(doNotDisturbKey, on);
                         settings.sync();
                     });
    QObject::connect(&instance, &SingleInstance::raiseRequested, &window,
                     &InboxWindow::bringToFront);
    window.start();
    if (!parser.isSet(backgroundOption))
        window.show();
    return app.exec();
}
