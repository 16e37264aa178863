#pragma once

#include <QString>

// What the send reporting needs of the window: a status caption and the interval of the
// timer that clears it (0 = idle).
class StatusLine
{
public:
    virtual ~StatusLine() = default;

    virtual void setStatusCaption(const QString& text) = 0;
    virtual void setClearInterval(int milliseconds) = 0;
};
