#pragma once

#include <QString>

// The part of text before its first NUL, or text itself when it holds none.
QString TrimAtNull(const QString& text);
