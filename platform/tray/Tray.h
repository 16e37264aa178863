#pragma once

#include <functional>

// The program's icon in the notification area.
class Tray
{
public:
    // Called when the user acts on the icon: the gesture (a QSystemTrayIcon::ActivationReason)
    // and the pointer's place on the screen.
    using UserAction = std::function<void(int reason, int x, int y)>;

    virtual ~Tray() = default;

    // Puts up the icon with its first frame and its tip text.
    virtual void show() = 0;
    // Starts the icon's animation.
    virtual void startAnimation() = 0;
    // Whether a notification area is there right now to show the icon in.
    virtual bool isAvailable() const = 0;
    virtual void setUserActionHandler(UserAction handler) = 0;
};
