#pragma once

#include "platform/tray/StatusIcon.h"

#include <QIcon>
#include <QMenu>
#include <QObject>

#include <memory>

class QSystemTrayIcon;

// The status icon as Qt puts it up: over StatusNotifierItem where the desktop has it, XEmbed
// otherwise. Where no notification area runs it shows nothing, and Qt puts it up by itself
// once one appears.
class QtStatusIcon final : public QObject, public StatusIcon
{
    Q_OBJECT

public:
    explicit QtStatusIcon(QIcon icon, QObject* parent = nullptr);

    void show(std::vector<MenuEntry> menu, std::function<void()> activated) override;
    void setCount(int count, const std::string& toolTip) override;
    bool isAvailable() const override;

    // The icon with count drawn on it.
    static QIcon badged(const QIcon& icon, int count);

private:
    QIcon m_icon;
    QSystemTrayIcon* m_tray;
    std::unique_ptr<QMenu> m_menu;
    std::function<void()> m_activated;
};
