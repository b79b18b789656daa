#!/bin/bash
# The Debian package on this machine, as a user would take it: apt-get
# installs it with its dependencies; the installed /usr/bin/TalvikSvc, with
# no build tree and no settings, publishes its PipeWire camera on a private
# PipeWire, takes a phone simulator's session and logs to its XDG place;
# "TalvikSvc install" only enables the packaged unit; apt-get remove takes
# every file away. The machine is left as it was: the package is removed
# again unless it was installed before, and the daemons the test starts are
# stopped by their PIDs.
#
# Usage: test_deb_install.sh talvik_VERSION_amd64.deb (as root)
set -u
deb="$(realpath "$1")"
work="$(mktemp -d)"
pids=()
was_installed=0
dpkg-query -W -f='${Status}' talvik 2>/dev/null | grep -q 'install ok installed' && was_installed=1

finish() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    if [ "$was_installed" = 0 ] && dpkg-query -W talvik >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq talvik >/dev/null 2>&1
    fi
    rm -rf "$work"
}
trap finish EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.txt; do [ -f "$f" ] && { echo "--- $f"; tail -20 "$f"; }; done >&2
    exit 1
}
wait_for() { # SECONDS COMMAND...: polls every 0.2 s
    local tries=$(($1 * 5)); shift
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1)); [ "$tries" -gt 0 ] || return 1; sleep 0.2
    done
}

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" > "$work/apt.txt" 2>&1 || fail "apt-get install $deb"
for program in TalvikSvc talviktray camview phonesim; do
    [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program is not installed"
done
[ -f /usr/lib/systemd/user/talvik.service ] || fail "no packaged user unit"
grep -qx 'ExecStart=/usr/bin/TalvikSvc' /usr/lib/systemd/user/talvik.service || fail "the unit does not start /usr/bin/TalvikSvc"

# A user of the machine: a home of its own and a private PipeWire.
home="$work/home" run="$work/run"
mkdir -p "$home" "$run" && chmod 0700 "$run"
export HOME="$home" XDG_RUNTIME_DIR="$run" DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus"
unset XDG_CONFIG_HOME XDG_STATE_HOME TALVIK_CONFIG_DIR PIPEWIRE_RUNTIME_DIR
dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" > "$work/dbus.txt" 2>&1 & pids+=($!)
wait_for 5 test -S "$run/bus" || fail "no session bus"
pipewire > "$work/pipewire.txt" 2>&1 & pids+=($!)
wait_for 5 test -S "$run/pipewire-0" || fail "PipeWire does not start"
wireplumber > "$work/wireplumber.txt" 2>&1 & pids+=($!)

# "TalvikSvc install" enables the packaged unit and writes none of its own.
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "$@" >> %s/systemctl.txt\n' "$work" > "$work/bin/systemctl"
chmod +x "$work/bin/systemctl"
PATH="$work/bin:$PATH" /usr/bin/TalvikSvc install > "$work/install.txt" 2>&1
grep -q '^/usr/lib/systemd/user/talvik.service comes with the package$' "$work/install.txt" || fail "install did not take the packaged unit"
grep -qx -- '--user enable talvik.service' "$work/systemctl.txt" || fail "install did not enable the unit"
[ ! -e "$home/.config/systemd/user/talvik.service" ] || fail "install wrote a unit of its own"

# The service as in the quick start, in a terminal; loglevel from the plain
# settings file so that the log's place is seen.
mkdir -p "$home/.config/talvik"
printf '[talvik]\nloglevel = 2\n' > "$home/.config/talvik/talvik.conf"
(cd "$work" && exec script -qfec /usr/bin/TalvikSvc /dev/null > "$work/service.txt" 2>&1) & pids+=($!)
wait_for 15 grep -q 'camera: the PipeWire video source "Vidrelo Camera"' "$work/service.txt" || fail "no PipeWire camera"
wait_for 10 sh -c 'pw-dump | grep -q "\"node.description\": \"Vidrelo Camera\""' || fail "no Vidrelo Camera node"
wait_for 10 grep -q 'WiFi: phones can connect on TCP port 5055' "$work/service.txt" || fail "not listening on 5055"
/usr/bin/phonesim connect --frames 60 --duration 20 > "$work/phonesim.txt" 2>&1 || fail "phonesim failed"
wait_for 10 grep -q 'a phone connected over WiFi' "$work/service.txt" || fail "the phone's session was not taken"
wait_for 10 grep -q 'the phone left' "$work/service.txt" || fail "the phone did not leave"
wait_for 5 grep -q 'StartStreaming' "$home/.local/state/talvik/log.txt" || fail "no log in ~/.local/state/talvik"
[ ! -e "$work/log.txt" ] || fail "a log in the current directory"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq talvik >> "$work/apt.txt" 2>&1 || fail "apt-get remove"
for path in /usr/bin/TalvikSvc /usr/bin/talviktray /usr/bin/camview /usr/bin/phonesim \
            /usr/lib/systemd/user/talvik.service /usr/share/talvik /usr/share/doc/talvik; do
    [ ! -e "$path" ] || fail "$path is left after apt-get remove"
done
echo "deb install test passed"
