#!/bin/bash
# Figures of the running Linux service, with the phone simulator:
#   - the delay from the phone's connect to the service's stream request,
#     over WiFi (TCP) and over USB (the simulator's usbmuxd), median and
#     range of 20 sessions each, read from the simulator's log (1 ms steps);
#   - the service's CPU while it waits with no phone (share of one core over
#     10 s) and its resident memory;
#   - while the phone streams 720p30 and 1080p30 over WiFi and USB: the
#     latency from the simulator's send to the camera file's picture (median
#     and 99th percentile over 8 s, measured by camview, which polls the file
#     at least every 10 ms), the service's CPU and its resident memory.
# Figures, not pass or fail: on a shared machine they are noisy.
#
# Usage: scripts/measure-service.sh [BIN_DIR]   (default build/linux/bin,
# which must hold TalvikSvc and phonesim)
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
root="$(cd "$here/.." && pwd)"
bin="${1:-$root/build/linux/bin}"
for program in TalvikSvc phonesim camview; do
    [ -x "$bin/$program" ] || die "$bin must hold TalvikSvc, phonesim and camview (build them first)"
done

sessions=20
work="$(mktemp -d)"
service_pid="" phone_pid=""
cleanup() {
    [ -z "$phone_pid" ] || { kill "$phone_pid" 2>/dev/null; wait "$phone_pid" 2>/dev/null; }
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        kill -TERM "$service_pid"
        wait "$service_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
mkdir -p "$work/install" "$work/run"
printf '[logging]\nloglevel=2\n' >"$work/install/Vidrelo.ini"
cat >"$work/talvik.conf" <<CONF
[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TalvikDrivers]
UninstallString=$work/install/uninstall.sh

[Software\\Talvik\\Vidrelo]
Port=$port
CONF

# Starts the service in the background with the given usbmuxd address.
start_service() {
    TALVIK_CONFIG_DIR="$work" XDG_RUNTIME_DIR="$work/run" USBMUXD_SOCKET_ADDRESS="$1" \
        "$bin/TalvikSvc" 2>>"$work/service.err" &
    service_pid=$!
    sleep 1
}

stop_service() {
    kill -TERM "$service_pid"
    wait "$service_pid" 2>/dev/null
    service_pid=""
}

# Median, lowest and highest of the connect-to-request delays in a
# simulator log, in milliseconds.
delays() {
    awk '
        /connected over/ { split($0, a, "[][]"); s = a[2] + 0; split($0, b, "session "); n = b[2] + 0; start[n] = s }
        /received MESSAGE_STARTSTREAM/ { split($0, a, "[][]"); split($0, b, "session "); n = b[2] + 0
            if ((n in start) && !(n in seen)) { seen[n] = 1; print (a[2] - start[n]) * 1000 } }
    ' "$1" | sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "no sessions measured"; exit 1 }
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "median %.0f ms, range %.0f to %.0f ms, %d sessions\n", m, v[1], v[NR], NR }'
}

ticks() { awk '{ print $14 + $15 }' "/proc/$service_pid/stat"; }
hz="$(getconf CLK_TCK)"
# The service's share of one core since tick count $1, over $2 seconds.
cpu_since() {
    awk -v d="$(($(ticks) - $1))" -v hz="$hz" -v s="$2" 'BEGIN { printf "CPU %.2f%% of one core over %d s", d * 100 / (hz * s), s }'
}
rss() { awk '$1 == "VmRSS:" { printf "RSS %.1f MiB", $2 / 1024 }' "/proc/$service_pid/status"; }

step "idle: no phone, no usbmuxd"
start_service "UNIX:$work/no-usbmuxd.sock"
sleep 2
before="$(ticks)"
sleep 10
echo "$(cpu_since "$before" 10), $(rss)"
stop_service

# The phone streams at size $2 (WxH) over $1 (wifi or usb) while camview
# measures the camera file for 8 s.
stream_figures() {
    local via="$1" size="$2" log="$work/$1-$2.log" usbmuxd="UNIX:$work/no-usbmuxd.sock"
    if [ "$via" = usb ]; then
        usbmuxd="UNIX:$work/usbmuxd-$size.sock"
        "$bin/phonesim" usb --usbmuxd "$usbmuxd" --duration 20 --log "$log" &
        phone_pid=$!
        sleep 0.5
    fi
    start_service "$usbmuxd"
    "$bin/camview" --file "$work/run/talvik/camera" --request "$size" NV12 >/dev/null || die "camview failed"
    if [ "$via" = wifi ]; then
        "$bin/phonesim" connect --port "$port" --duration 20 --log "$log" &
        phone_pid=$!
    fi
    sleep 3
    local before figures
    before="$(ticks)"
    figures="$("$bin/camview" --file "$work/run/talvik/camera" --stats --phonesim-log "$log" --seconds 8 | tail -n 1)"
    echo "$via $size NV12: $figures; service $(cpu_since "$before" 8), $(rss)"
    kill "$phone_pid" 2>/dev/null
    wait "$phone_pid" 2>/dev/null
    phone_pid=""
    stop_service
}

step "streaming: latency, CPU and memory"
for via in wifi usb; do
    for size in 1280x720 1920x1080; do
        stream_figures "$via" "$size"
    done
done

step "WiFi: connect to stream request, $sessions sessions"
start_service "UNIX:$work/no-usbmuxd.sock"
"$bin/phonesim" connect --port "$port" --sessions "$sessions" --frames 2 --duration 120 --log "$work/wifi.log" \
    || die "phonesim (WiFi) failed; its log: $(tail -n 20 "$work/wifi.log")"
delays "$work/wifi.log"
stop_service

step "USB: connect to stream request, $sessions sessions"
"$bin/phonesim" usb --usbmuxd "UNIX:$work/usbmuxd.sock" --sessions "$sessions" --frames 2 --duration 120 \
    --log "$work/usb.log" &
phone_pid=$!
sleep 0.5
start_service "UNIX:$work/usbmuxd.sock"
wait "$phone_pid" || die "phonesim (USB) failed; its log: $(tail -n 20 "$work/usb.log")"
delays "$work/usb.log"
stop_service
