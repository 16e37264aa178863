#include "platform/dialogs/LinuxMessageBox.h"

#include <QMessageBox>
#include <QRegularExpression>

QString LinuxMessageBox::displayText(const QString& text)
{
    // A Qt label breaks lines only at LF, so a lone CR would run two lines together.
    static const QRegularExpression separator(QStringLiteral("\r\n|\r|\n"));
    QString shown = text;
    shown.replace(separator, QStringLiteral("\n"));
    return shown;
}

void LinuxMessageBox::show(QWidget* parent, const QString& text, const QString& title, Icon icon)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(displayText(text));
    // In the order of MessageBox::Icon.
    constexpr QMessageBox::Icon kIcons[] = {QMessageBox::NoIcon, QMessageBox::Information,
                                            QMessageBox::Warning, QMessageBox::Critical};
    static_assert(std::size(kIcons) == std::size_t(Icon::Critical) + 1);
    box.setIcon(kIcons[int(icon)]);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}
