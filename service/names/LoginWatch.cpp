#include "service/names/LoginWatch.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// logind's user records can name any number of users; aliases beyond this many are not held.
constexpr int kMaxUsers = 1024;

std::string joined(const std::set<std::string>& users)
{
    std::string out;
    for (const std::string& user : users)
        out += (out.empty() ? "" : ", ") + user;
    return out.empty() ? "(none)" : out;
}

} // namespace

std::unique_ptr<LoginWatch> LoginWatch::open(Changed changed, Log log)
{
    // As sd-login itself tells whether logind runs.
    if (::sd_booted() <= 0 || ::access("/run/systemd/seats/", F_OK) != 0)
        return nullptr;
    sd_login_monitor* monitor = nullptr;
    if (const int r = ::sd_login_monitor_new("uid", &monitor); r < 0) {
        log.err("logins: cannot watch logind's user records: " + std::string(std::strerror(-r)));
        return nullptr;
    }
    return std::unique_ptr<LoginWatch>(new LoginWatch(monitor, std::move(changed), std::move(log)));
}

LoginWatch::LoginWatch(sd_login_monitor* monitor, Changed changed, Log log)
    : m_monitor(monitor), m_changed(std::move(changed)), m_log(std::move(log))
{}

LoginWatch::~LoginWatch()
{
    ::sd_login_monitor_unref(m_monitor);
}

void LoginWatch::refresh()
{
    uid_t* uids = nullptr;
    const int count = ::sd_get_uids(&uids);
    if (count < 0) {
        std::free(uids);
        m_log.warning("logins: cannot read logind's user records: " +
                      std::string(std::strerror(-count)));
        return;
    }
    std::set<std::string> users;
    for (int i = 0; i < count && i < kMaxUsers; ++i) {
        char* state = nullptr;
        if (::sd_uid_get_state(uids[i], &state) < 0)
            continue;
        // "lingering" and "closing" users have services or processes left, but no session.
        const bool in = std::string_view(state) == "active" || std::string_view(state) == "online";
        std::free(state);
        if (!in)
            continue;
        if (const auto login = Daemon::loginOf(uids[i]))
            users.insert(*login);
    }
    std::free(uids);
    if (m_users == users)
        return;
    m_users = std::move(users);
    m_log.info("logins: logged in: " + joined(*m_users));
    m_changed(*m_users);
}

std::vector<int> LoginWatch::fds() const
{
    return {::sd_login_monitor_get_fd(m_monitor)};
}

void LoginWatch::readable(int)
{
    ::sd_login_monitor_flush(m_monitor);
    refresh();
}
