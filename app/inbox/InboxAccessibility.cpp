#include "app/inbox/InboxAccessibility.h"

#include "app/inbox/MessageView.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHBoxLayout>
#include <QLineEdit>

namespace {

// Qt announces every line edit as editable, read-only or not.
class ReadOnlyField final : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit ReadOnlyField(QLineEdit* field) : QAccessibleWidget(field, QAccessible::EditableText)
    {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.editable = false;
        state.readOnly = true;
        return state;
    }
    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Value ? field()->text() : QAccessibleWidget::text(kind);
    }

    void selection(int, int* start, int* end) const override
    {
        *start = std::max(0, field()->selectionStart());
        *end = *start + int(field()->selectedText().size());
    }
    int selectionCount() const override { return field()->hasSelectedText() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { field()->deselect(); }
    void setSelection(int, int start, int end) override
    {
        field()->setSelection(start, end - start);
    }
    int cursorPosition() const override { return field()->cursorPosition(); }
    void setCursorPosition(int position) override { field()->setCursorPosition(position); }
    QString text(int start, int end) const override
    {
        return field()->text().mid(start, end - start);
    }
    int characterCount() const override { return int(field()->text().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* start, int* end) const override
    {
        *start = 0;
        *end = characterCount();
        return {};
    }

private:
    QLineEdit* field() const { return static_cast<QLineEdit*>(widget()); }
};

QAccessibleInterface* inboxInterface(const QString& className, QObject* object)
{
    if (className == QLatin1String("InboxWindow"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    // Every field of a message view is read-only.
    if (className == QLatin1String("QLineEdit") && qobject_cast<MessageView*>(object->parent()))
        return new ReadOnlyField(static_cast<QLineEdit*>(object));
    return nullptr;
}

} // namespace

void installInboxAccessibility()
{
    [[maybe_unused]] static const bool installed =
        (QAccessible::installFactory(inboxInterface), true);
}

void addButtonRow(QBoxLayout& layout, std::initializer_list<QWidget*> left, QWidget* right)
{
    auto* row = new QHBoxLayout;
    for (QWidget* button : left)
        row->addWidget(button);
    row->addStretch(1);
    row->addWidget(right);
    layout.addLayout(row);
}
