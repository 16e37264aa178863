#include "platform/pointer/LinuxBusyPointer.h"

#include <QCursor>
#include <QGuiApplication>

void LinuxBusyPointer::showWait()
{
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    // The caller blocks right after this; without a round trip to the window system the
    // pending cursor change would only reach the screen once the call is over.
    QGuiApplication::sync();
}

void LinuxBusyPointer::showDefault()
{
    while (QGuiApplication::overrideCursor() != nullptr)
        QGuiApplication::restoreOverrideCursor();
}
