#pragma once

#include <QString>

class QWidget;

// Modal message boxes with an OK button. Behind an interface so that tests can answer them
// without a modal loop.
class MessageBox
{
public:
    enum class Icon
    {
        None,
        Information,
        Warning,
        Critical
    };

    virtual ~MessageBox() = default;

    // Returns once the user has closed the box. Each CR, LF or CR LF in text shows as one
    // line break.
    virtual void show(QWidget* parent, const QString& text, const QString& title, Icon icon) = 0;
};
