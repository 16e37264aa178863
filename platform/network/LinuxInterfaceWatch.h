#pragma once

// Tells when interfaces or their IPv4 addresses change: a netlink route socket subscribed to
// link and IPv4 address events. The caller polls fd() and calls drain() when it is readable,
// then reads the interface list again.
class LinuxInterfaceWatch
{
public:
    LinuxInterfaceWatch();
    ~LinuxInterfaceWatch();
    LinuxInterfaceWatch(const LinuxInterfaceWatch&) = delete;
    LinuxInterfaceWatch& operator=(const LinuxInterfaceWatch&) = delete;

    // -1 when netlink is not available; the caller then re-reads the list on a timer.
    int fd() const { return m_fd; }
    // Reads what is queued without blocking; true when anything arrived (or the kernel
    // dropped events, which means the list must be read again as well).
    bool drain();

private:
    int m_fd = -1;
};
