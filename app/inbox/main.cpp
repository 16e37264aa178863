// vorelin-inbox: pops up, keeps and answers the messages the messenger service receives.

#include "app/inbox/InboxHistory.h"
#include "app/inbox/InboxPaths.h"
#include "app/inbox/InboxWindow.h"
#include "app/inbox/ReplySender.h"
#include "app/inbox/ServiceClient.h"
#include "app/inbox/SingleInstance.h"
#include "identity/LocalIdentity.h"
#include "platform/messenger/SmbMessenger.h"
#include "platform/network/LinuxComputerName.h"
#include "platform/notifications/LinuxNotifications.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QFileInfo>
#include <QIcon>
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

    // Options first: --help and --version need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows, keeps and answers the messages that vorelind receives."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
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
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "vorelin-inbox: %s\nTry 'vorelin-inbox --help'.\n",
                     parser.positionalArguments().isEmpty()
                         ? qPrintable(parser.errorText())
                         : "this program takes no arguments besides its options");
        return 2;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        // Without an application object the parser cannot know the program's name.
        QString help = parser.helpText();
        help.replace(QStringLiteral("<executable_name>"), QStringLiteral("vorelin-inbox"));
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("vorelin-inbox %s\n", VORELIN_VERSION);
        return 0;
    }

    bool portOk = false;
    const uint replyPort = parser.value(portOption).toUInt(&portOk);
    if (!portOk || replyPort < 1 || replyPort > 65535) {
        std::fprintf(stderr, "vorelin-inbox: '%s' is not a port number from 1 to 65535\n",
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
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation), socketPath));
    ServiceClient client({socketPath, socketPath == InboxPaths::kDefaultSocket
                                          ? std::function<bool()>(serviceInstalled)
                                          : std::function<bool()>()});

    InboxWindow window({client, history, notifications, replies});
    QObject::connect(&instance, &SingleInstance::raiseRequested, &window,
                     &InboxWindow::bringToFront);
    window.start();
    if (!parser.isSet(backgroundOption))
        window.show();
    return app.exec();
}
