# Shared by scripts/run and scripts/test: install what is missing, configure and build.
# Sourced, not run.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install_packages run|test: apt-get install the listed packages that are not installed yet.
install_packages() {
    local wanted=("$@") missing=() name kind
    while read -r name kind _; do
        case "$name" in ''|'#'*) continue ;; esac
        local pick=0 w
        for w in "${wanted[@]}"; do [ "$w" = "$kind" ] && pick=1; done
        [ "$pick" = 1 ] || continue
        if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$name")
        fi
    done <"$repo_root/scripts/packages"
    [ "${#missing[@]}" -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # Installing samba may try to start the system's smbd and nmbd; the tests use their own.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        "${missing[@]}"
}

# build_tree DIR [cmake args...]: configure once, then build.
build_tree() {
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$repo_root" -B "$dir" -G Ninja "$@"
    fi
    cmake --build "$dir" --parallel "$(nproc)"
}
