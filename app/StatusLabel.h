#pragma once

#include <QLabel>

// The status line. Assistive technology sees it as a status bar whose name is the text shown,
// so that each new result is announced by the name change QLabel reports for a new text;
// while empty it is named kIdleName.
class StatusLabel : public QLabel
{
    Q_OBJECT

public:
    static constexpr const char* kIdleName = "Estado";

    using QLabel::QLabel;

    // Makes Qt give every StatusLabel its own accessible interface; call before the first one
    // is shown.
    static void installAccessibility();
};
