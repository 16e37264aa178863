#include "app/PlatformChoice.h"

#include <QtGlobal>

namespace {

bool isWayland(const QString& platform)
{
    // "wayland", "wayland-egl", "wayland-generic"
    return platform.startsWith(QLatin1String("wayland"), Qt::CaseInsensitive);
}

struct PlatformArguments
{
    bool readByQt = false; // "-platform NAME" or "--platform NAME"
    QString joined;        // the last "-platform=NAME" or "--platform=NAME"
};

PlatformArguments platformArguments(const QStringList& arguments)
{
    const QLatin1String option("-platform");
    PlatformArguments found;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QStringView argument(arguments.at(i));
        if (argument.startsWith(QLatin1String("--")))
            argument = argument.mid(1);
        if (argument == option) {
            // Qt skips a trailing "-platform" that has no name after it.
            if (i + 1 < arguments.size()) {
                found.readByQt = true;
                ++i;
            }
        } else if (argument.startsWith(option) && argument.mid(option.size()).startsWith(u'=')) {
            const QStringView name = argument.mid(option.size() + 1);
            if (!name.isEmpty())
                found.joined = name.toString();
        }
    }
    return found;
}

} // namespace

PlatformEnvironment PlatformEnvironment::current()
{
    return {qEnvironmentVariable("XDG_SESSION_TYPE"), qEnvironmentVariable("WAYLAND_DISPLAY"),
            qEnvironmentVariable("DISPLAY"), qEnvironmentVariable("QT_QPA_PLATFORM")};
}

bool PlatformChoice::hidesOnMinimize(const QString& platformInUse) const
{
    return hideOnMinimize && !isWayland(platformInUse);
}

PlatformChoice choosePlatform(const PlatformEnvironment& environment, const QStringList& arguments)
{
    // The user's own choice stands. Qt applies "-platform NAME" itself, ahead of
    // QT_QPA_PLATFORM; it does not understand "-platform=NAME", so that one is passed on.
    const PlatformArguments given = platformArguments(arguments);
    if (given.readByQt)
        return {};
    if (!given.joined.isEmpty())
        return {given.joined, true};
    if (!environment.qtQpaPlatform.isEmpty())
        return {};

    // Qt picks Wayland whenever WAYLAND_DISPLAY is set, even in a session that calls itself
    // x11, so that counts as much as the session type does.
    const bool waylandSession =
        environment.xdgSessionType.compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0 ||
        !environment.waylandDisplay.isEmpty();
    if (!waylandSession)
        return {};
    // XWayland; should its server not answer after all, Wayland is still better than no start.
    if (!environment.display.isEmpty())
        return {QStringLiteral("xcb;wayland"), true};
    return {QStringLiteral("wayland"), false};
}

PlatformChoice applyPlatformChoice(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const PlatformChoice choice = choosePlatform(PlatformEnvironment::current(), arguments);
    if (!choice.force.isEmpty())
        qputenv("QT_QPA_PLATFORM", choice.force.toLocal8Bit());
    return choice;
}
