#pragma once

#include "platform/tray/StatusIcon.h"

#include <QIcon>
#include <QObject>

class QMenu;
class QSystemTrayIcon;

// The status icon as Qt puts it up: over StatusNotifierItem where the desktop has it, XEmbed
// otherwise. Where no notification area runs it shows nothing, and Qt puts it up by itself
// once one appears.
class QtStatusIcon final : public QObject, public StatusIcon
{
    Q_OBJECT

public:
    explicit QtStatusIcon(QIcon icon, QObject* parent = nullptr);
    ~QtStatusIcon() override;

    void show(std::vector<MenuEntry> menu, std::function<void()> activated) override;
    void setCount(int count, const std::string& toolTip) override;
    bool isAvailable() const override;

    // The icon with count drawn on it.
    static QIcon badged(const QIcon& icon, int count);

private:
    QIcon m_icon;
    QSystemTrayIcon* m_tray;
    QMenu* m_menu = nullptr;
    std::function<void()> m_activated;
};
