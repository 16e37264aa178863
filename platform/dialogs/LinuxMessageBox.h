#pragma once

#include "platform/dialogs/MessageBox.h"

// Qt's modal message box.
class LinuxMessageBox final : public MessageBox
{
public:
    void show(QWidget* parent, const QString& text, const QString& title, Icon icon) override;

    // The text as the box displays it: every separator as one LF.
    static QString displayText(const QString& text);
};
