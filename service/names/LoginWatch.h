#pragma once

#include "service/Daemon.h"
#include "service/Log.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

struct sd_login_monitor;

// Who logind counts as logged in (a session active or online), by login name: read at start and
// again whenever logind rewrites its user records. Runs in the daemon's loop as one of its
// sources; tells only changes.
class LoginWatch final : public Daemon::Source
{
public:
    using Log = ::Log;
    using Changed = std::function<void(const std::set<std::string>& users)>;

    // Nothing where logind does not run (no systemd, or a container without it).
    static std::unique_ptr<LoginWatch> open(Changed changed, Log log);
    ~LoginWatch() override;
    LoginWatch(const LoginWatch&) = delete;
    LoginWatch& operator=(const LoginWatch&) = delete;

    // Reads the login state and tells it when it changed.
    void refresh();

    std::vector<int> fds() const override;
    void readable(int fd) override;

private:
    LoginWatch(sd_login_monitor* monitor, Changed changed, Log log);

    sd_login_monitor* m_monitor;
    Changed m_changed;
    Log m_log;
    std::optional<std::set<std::string>> m_users; // nothing until first read
};
