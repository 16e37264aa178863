#pragma once

#include "app/Form1Design.h"

#include <QFont>

// The window was designed with Windows faces; these map them to free faces with the same
// or close metrics, so that captions fit their controls as designed.
void installFontSubstitutes();

// A design font at its size in pixels at 96 dpi, the scale the window's geometry is given in.
QFont designFont(const form1design::Font& font);
