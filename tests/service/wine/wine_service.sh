# Shared by the scripts that run TalvikSvc under Wine's service control
# manager, in a Wine prefix of the script's own (the service database and
# HKLM change). Source it; it sets:
#   wine, wineserver, work (a temporary directory, removed at exit),
#   WINEPREFIX; shown_logs: files that fail prints.
# and defines fail, w, reg_value, await_state, await_line, start_xvfb,
# start_prefix.
wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server_pid="" xvfb_pid=""
shown_logs=()
# Wine may take a while to start its processes.
start_seconds=60

cleanup() {
    # The prefix is this script's own: this ends the service and Wine's own
    # processes in it, then its server.
    [ ! -d "$WINEPREFIX" ] || "$wineserver" -k 2>/dev/null
    [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
    [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    for file in "${shown_logs[@]}"; do
        [ -f "$file" ] || continue
        echo "---- $(basename "$file") ----"
        cat "$file"
    done
    exit 1
}

# A Wine program's output, without carriage returns.
w() {
    "$wine" "$@" 2>&1 | tr -d '\r'
}

# Value $2 of registry key $1 as "reg query" shows it.
reg_value() {
    w reg query "$1" | awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}

# Every state the service was seen in, in order, each once per stay.
states=()
note_state() {
    local count="${#states[@]}"
    [ -z "$1" ] || { [ "$count" -gt 0 ] && [ "${states[count - 1]}" = "$1" ]; } || states+=("$1")
}
state_of() {
    awk '$1 == "STATE" { print $4 }' <<<"$1"
}
# Waits up to $2 seconds for the service to report state $1.
await_state() {
    local deadline=$((SECONDS + $2)) now
    while :; do
        now="$(state_of "$(w sc query TalvikSvc)")"
        note_state "$now"
        [ "$now" = "$1" ] && return 0
        [ "$SECONDS" -lt "$deadline" ] || fail "the service did not reach $1 within $2 s (seen: ${states[*]})"
        sleep 0.2
    done
}

# Waits up to $3 seconds for the fixed line $2 in file $1.
await_line() {
    local deadline=$((SECONDS + $3))
    until grep -qxF -- "$2" "$1" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || fail "no line \"$2\" in $(basename "$1") within $3 s"
        sleep 0.2
    done
}

# An X server of the script's own as DISPLAY, for the windows and the
# notification icon of the programs started after it (the Wine session
# passes DISPLAY on to the services it starts).
start_xvfb() {
    command -v Xvfb >/dev/null || fail "no Xvfb: install Debian's xvfb"
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || fail "Xvfb did not start"
    export DISPLAY=":$(cat "$work/display")"
}

# Makes the prefix and starts its session on a server of its own.
start_prefix() {
    [ -z "$(ss -Htln 'sport = :5055')" ] || fail "something listens on TCP port 5055, which the service needs"
    "$wine" wineboot -i >/dev/null 2>&1 || fail "creating the Wine prefix failed"
    # The session that made the prefix may run two service managers. A fresh
    # one on a persistent server stays alive between the Wine commands that
    # follow, so that no new session starts the installed auto-start service
    # by itself.
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w
    "$wineserver" -f -p >/dev/null 2>&1 &
    server_pid=$!
    # Started with the server still coming up, a session can fail at once:
    # tried three times, the last attempt's words kept for the failure.
    for attempt in 1 2 3; do
        "$wine" wineboot >"$work/wineboot.log" 2>&1 && return
        sleep "$attempt"
    done
    cat "$work/wineboot.log" >&2
    fail "starting the Wine session failed"
}

# The settings a test's service runs with: loglevel 3 in Vidrelo.ini in the
# Linux directory $1, which is the install directory $2 (as Windows names
# it), and the camera file $3 (as Windows names it).
write_service_settings() {
    printf '[logging]\r\nloglevel=3\r\n' >"$1/Vidrelo.ini"
    w reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers' /v UninstallString \
        /t REG_SZ /d "$2\\uninst.exe" /f >/dev/null || fail "cannot write UninstallString"
    w reg add 'HKLM\Software\Talvik\Vidrelo' /v CameraFile /t REG_SZ /d "$3" /f >/dev/null \
        || fail "cannot write CameraFile"
}
