# Shared by scripts/run and scripts/test: install what is missing, configure and build.
# Sourced, not run.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install_packages run|test: apt-get install the listed packages that are not installed yet.
install_packages() {
    local wanted=("$@") missing=() name kind
    while read -r name kind _; do
        case "$name" in ''|'#'*) continue ;; esac
        [[ " ${wanted[*]} " == *" $kind "* ]] || continue
        if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$name")
        fi
    done <"$repo_root/scripts/packages"
    [ "${#missing[@]}" -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q

    # Samba's package starts smbd and nmbd as system services: a file server left running on
    # the user's machine. The tests run private instances, so when we bring Samba, its
    # services neither start now nor at boot. A Samba that was already here is left alone.
    local services=() service
    if printf '%s\n' "${missing[@]}" | grep -qx samba; then
        services=(smbd nmbd samba-ad-dc)
    fi
    local policy=/usr/sbin/policy-rc.d held=0
    if [ "${#services[@]}" -gt 0 ] && [ ! -e "$policy" ]; then
        # invoke-rc.d asks this script before starting anything; 101 means "not now".
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
        held=1
    fi
    local status=0
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}" || status=$?
    [ "$held" = 1 ] && "${sudo[@]}" rm -f "$policy"
    [ "$status" -eq 0 ] || return "$status"
    for service in "${services[@]}"; do
        [ -e "/lib/systemd/system/$service.service" ] || [ -e "/etc/init.d/$service" ] || continue
        "${sudo[@]}" systemctl disable --quiet "$service" 2>/dev/null ||
            "${sudo[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
        echo "Samba was installed for the tests only: its $service service is disabled and was not started."
    done
}

# build_tree DIR [cmake args...]: configure once, then build.
build_tree() {
    local dir=$1
    shift
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$repo_root" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}
