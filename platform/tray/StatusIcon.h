#pragma once

#include <functional>
#include <string>
#include <vector>

// A program's standing icon in the notification area: a count on it, a tip, a menu, and a
// click that opens the program.
class StatusIcon
{
public:
    struct MenuEntry
    {
        std::string text; // with & before its mnemonic
        bool checkable = false;
        bool checked = false;
        std::function<void(bool checked)> triggered;
    };

    virtual ~StatusIcon() = default;

    // Puts up the icon with its menu; activated runs on a click.
    virtual void show(std::vector<MenuEntry> menu, std::function<void()> activated) = 0;
    // The number drawn on the icon (none at 0) and the tip text.
    virtual void setCount(int count, const std::string& toolTip) = 0;
    // Whether a notification area is there right now to show the icon in.
    virtual bool isAvailable() const = 0;
};
