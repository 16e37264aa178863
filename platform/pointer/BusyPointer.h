#pragma once

// The application-wide mouse pointer shown while the program is busy.
class BusyPointer
{
public:
    virtual ~BusyPointer() = default;

    // Shows the wait shape on every window of the program, visibly, before returning.
    virtual void showWait() = 0;
    // Back to the default shape (not to whatever shape was shown before showWait).
    virtual void showDefault() = 0;
};

// For a send with no window of its own to point at: a command line, a worker thread.
class NoBusyPointer final : public BusyPointer
{
public:
    void showWait() override {}
    void showDefault() override {}
};
