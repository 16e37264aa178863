#pragma once

#include <QString>
#include <QStringList>

// Which Qt platform plugin the program runs on, decided before QApplication exists.
//
// On Wayland a client can neither place its window nor learn that it was minimised, so the
// window could not open at its place, and a window hidden on minimise could never be brought
// back. Where XWayland offers an X server the program therefore runs on the X11 plugin.

// The environment values the choice depends on; unset and empty mean the same.
struct PlatformEnvironment
{
    QString xdgSessionType; // XDG_SESSION_TYPE
    QString waylandDisplay; // WAYLAND_DISPLAY
    QString display;        // DISPLAY
    QString qtQpaPlatform;  // QT_QPA_PLATFORM

    static PlatformEnvironment current();
};

struct PlatformChoice
{
    // What to put in QT_QPA_PLATFORM before QApplication is built; empty leaves Qt's choice.
    QString force;
    // False where it is known beforehand that a hidden window could not be brought back.
    bool hideOnMinimize = true;

    // Whether minimising may hide the window, once the platform in use is known: never on
    // Wayland, however it was reached.
    bool hidesOnMinimize(const QString& platformInUse) const;

    bool operator==(const PlatformChoice&) const = default;
};

// arguments[0] is the program, as in argv.
PlatformChoice choosePlatform(const PlatformEnvironment& environment, const QStringList& arguments);

// Decides for this process and sets QT_QPA_PLATFORM to match. Call before QApplication.
PlatformChoice applyPlatformChoice(int argc, char* argv[]);
