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
    switch (icon) {
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Icon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case Icon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}
