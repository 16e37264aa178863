#pragma once

#include "platform/pointer/BusyPointer.h"

// The wait pointer as Qt sets it over every window of the program.
class LinuxBusyPointer final : public BusyPointer
{
public:
    void showWait() override;
    void showDefault() override;
};
