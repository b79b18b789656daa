# Shared by the tests that pair the probe under Wine with the native phone
# simulator. Sourced first; sets work (a temporary directory), probe_log,
# phone_log, probe_pid and phone_pid, what the phone sends, and installs the
# clean-up of both processes and of $work.

work="$(mktemp -d)"
probe_log="$work/probe.log" phone_log="$work/phonesim.log"
: >"$probe_log"
: >"$phone_log"
probe_pid="" phone_pid=""

# The phone streams 640x480 raw NV12 pictures (so that the encoder's speed
# plays no part) and 1024-sample audio blocks, and hangs up after its
# frames.
frames=45
picture_bytes=$((640 * 480 * 3 / 2))
audio_bytes=2048
formats="640x480@30 H.264, 960x540@30 H.264, 1280x720@30 H.264, 1920x1080@30 H.264, 1280x720@30 MPEG-4"
# Wine may have to start its server first.
ready_seconds=120

# Stops a process this script started, if it still runs.
stop() {
    local pid="$1"
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 20); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
}

cleanup() {
    stop "$phone_pid"
    stop "$probe_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    echo "---- probe (under Wine) ----"
    cat "$probe_log" 2>/dev/null
    echo "---- phonesim ----"
    cat "$phone_log" 2>/dev/null
    exit 1
}

# Waits up to $2 seconds for process $1 to end and sets `status` to its
# exit code; stops it and fails when it does not end in time.
finish() {
    local pid="$1" seconds="$2" name="$3"
    local deadline=$((SECONDS + seconds))
    while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        stop "$pid"
        fail "$name did not end within $seconds s"
    fi
    wait "$pid"
    status=$?
}

# Whether something listens on TCP port $1 or uses it locally.
port_in_use() {
    local hex
    hex="$(printf '%04X' "$1")"
    awk -v port=":$hex" 'FNR > 1 && substr($2, length($2) - 4) == port { found = 1 } END { exit !found }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# A port below the kernel's range for outgoing connections and not in use.
free_port() {
    local port
    for _ in $(seq 100); do
        port=$((20000 + RANDOM % 12000))
        port_in_use "$port" || { echo "$port"; return 0; }
    done
    return 1
}

# The line number of the first line after line $2 that contains $1
# (fixed text), or nothing.
line_after() {
    awk -v text="$1" -v after="$2" 'NR > after && index($0, text) { print NR; exit }' "$probe_log"
}

