#include "BusyPointer.h"

#include <QCursor>
#include <QGuiApplication>

void QtBusyPointer::showWait()
{
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    // The caller blocks right after this; without a round trip to the window system the
    // pending cursor change would only reach the screen once the call is over.
    QGuiApplication::sync();
}

void QtBusyPointer::showDefault()
{
    while (QGuiApplication::overrideCursor() != nullptr)
        QGuiApplication::restoreOverrideCursor();
}
