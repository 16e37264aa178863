#pragma once

#include <QString>

// The texts of the help box (the help button) and the about box (a click on the logo), built
// anew for each box with their separators: CR between lines, CR LF once in the about box.
QString HelpText();
QString AboutText();
