#include "platform/network/LinuxInterfaceWatch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

LinuxInterfaceWatch::LinuxInterfaceWatch()
{
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0)
        return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

LinuxInterfaceWatch::~LinuxInterfaceWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LinuxInterfaceWatch::drain()
{
    if (m_fd < 0)
        return false;
    bool changed = false;
    char buffer[8192];
    // The contents do not matter, only that something changed; bounded so that a storm of
    // events cannot hold the loop.
    for (int i = 0; i < 64; ++i) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        // ENOBUFS: the kernel dropped events, which is a change as well.
        if (got == 0 || (got < 0 && errno != ENOBUFS))
            break;
        changed = true;
    }
    return changed;
}
