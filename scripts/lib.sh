# Shared helpers for the set-up scripts. Sourced, never run.
set -euo pipefail

die() { echo "error: $*" >&2; exit 1; }
step() { echo "==> $*"; }

# Where cross-built and downloaded dependencies live: outside the checkout,
# keyed by version so that a second run only checks stamps.
: "${TALVIK_CACHE:=${XDG_CACHE_HOME:-$HOME/.cache}/talvik}"
export TALVIK_CACHE

need_root() {
    [ "$(id -u)" = 0 ] || die "$1 needs root (apt-get); run it as root"
}

# apt-get update at most once per script run.
apt_updated=0
apt_update_once() {
    if [ "$apt_updated" = 0 ]; then
        apt-get update -qq || die "apt-get update failed: check the network and /etc/apt/sources.list*"
        apt_updated=1
    fi
}

# Installs the Debian packages that are missing; silent when all are present.
apt_install() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ "${#missing[@]}" = 0 ] && return 0
    need_root "installing ${missing[*]}"
    step "installing ${missing[*]}"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
        || die "apt-get install failed for: ${missing[*]}"
}
