#include "platform/tray/QtStatusIcon.h"

#include <QAction>
#include <QPainter>
#include <QSystemTrayIcon>

QtStatusIcon::QtStatusIcon(QIcon icon, QObject* parent)
    : QObject(parent), m_icon(std::move(icon)), m_tray(new QSystemTrayIcon(this))
{
    m_tray->setIcon(m_icon);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // The context gesture opens the menu, which Qt does by itself.
                if (reason == QSystemTrayIcon::Context || reason == QSystemTrayIcon::Unknown)
                    return;
                if (m_activated)
                    m_activated();
            });
}

void QtStatusIcon::show(std::vector<MenuEntry> menu, std::function<void()> activated)
{
    m_activated = std::move(activated);
    m_menu = std::make_unique<QMenu>();
    for (MenuEntry& entry : menu) {
        QAction* action = m_menu->addAction(QString::fromStdString(entry.text));
        action->setCheckable(entry.checkable);
        action->setChecked(entry.checked);
        connect(action, &QAction::triggered, this,
                [triggered = std::move(entry.triggered)](bool checked) {
                    if (triggered)
                        triggered(checked);
                });
    }
    m_tray->setContextMenu(m_menu.get());
    m_tray->show();
}

void QtStatusIcon::setCount(int count, const std::string& toolTip)
{
    m_tray->setIcon(badged(m_icon, count));
    m_tray->setToolTip(QString::fromStdString(toolTip));
}

bool QtStatusIcon::isAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QIcon QtStatusIcon::badged(const QIcon& icon, int count)
{
    if (count <= 0)
        return icon;
    constexpr int kSize = 64;
    QPixmap pixmap = icon.pixmap(kSize, kSize);
    if (pixmap.isNull()) {
        pixmap = QPixmap(kSize, kSize);
        pixmap.fill(Qt::transparent);
    }
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QString text = count > 99 ? QStringLiteral("99+") : QString::number(count);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(kSize * 2 / 5);
    painter.setFont(font);
    const QRect badge(kSize / 3, kSize / 2, kSize * 2 / 3, kSize / 2);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xc6, 0x28, 0x28));
    painter.drawRoundedRect(badge, kSize / 6, kSize / 6);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, text);
    painter.end();
    return QIcon(pixmap);
}
