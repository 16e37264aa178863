#include "app/StatusLabel.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace {

class AccessibleStatusLabel final : public QAccessibleWidget
{
public:
    explicit AccessibleStatusLabel(QWidget* label)
        : QAccessibleWidget(label, QAccessible::StatusBar)
    {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind != QAccessible::Name)
            return QAccessibleWidget::text(kind);
        const QString shown = static_cast<const QLabel*>(widget())->text();
        return shown.isEmpty() ? QString::fromLatin1(StatusLabel::kIdleName) : shown;
    }
};

QAccessibleInterface* statusLabelInterface(const QString& className, QObject* object)
{
    if (className == QLatin1String("StatusLabel") && object->isWidgetType())
        return new AccessibleStatusLabel(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

void StatusLabel::installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(statusLabelInterface);
        return true;
    }();
    (void)installed;
}
