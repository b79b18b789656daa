#!/bin/bash
# talviktray under Wine, on an X server of the test's own (Xvfb, started and
# stopped by its PID) and in a Wine prefix of the test's own, where the
# toast platform is missing, so every notification is a balloon. The
# service's own client (tray_client.exe) talks to it over the real pipe;
# what the tray shows is read from its lines in talviktray.log. Checks that:
#  - the service's notification starts the missing tray with its digit and
#    reaches the running one;
#  - command line 1 gives the menu "Settings, Close" and the barcode
#    balloon at once; 0 then removes the icon and ends the program (0);
#  - command line 5 gives the menu "Close" and the WiFi balloon; a further
#    5 shows nothing, 4 and 5 show one balloon each; 9 is answered and
#    shows nothing; "4ABC" is answered and acts as 4; a second client while
#    one is served finds the pipe busy; 0 ends the program.
# With TALVIK_TRAY_SCREENSHOT=file.png the corner of the screen with the
# first WiFi balloon is saved there (docs/images/tray-balloon-wine.png).
#
# Usage: test_tray_wine.sh talviktray.exe tray_client.exe
set -u

tray_exe="$1" client_exe="$2"
here="$(cd "$(dirname "$0")" && pwd)"
wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
install="$work/Talvik Drivers"
win_install="Z:${install//\//\\}"
log="$install/talviktray.log"
xvfb_pid="" server_pid="" tray_pid=""
start_seconds=60

cleanup() {
    [ -z "$tray_pid" ] || { kill "$tray_pid" 2>/dev/null; wait "$tray_pid" 2>/dev/null; }
    # The prefix is this test's own: this ends Wine's processes in it.
    [ ! -d "$WINEPREFIX" ] || "$wineserver" -k 2>/dev/null
    [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
    [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    echo "---- talviktray.log ----"
    tr -d '\r' <"$log" 2>/dev/null
    exit 1
}

# How many log lines read exactly $1 after their time stamp.
count() {
    tr -d '\r' 2>/dev/null <"$log" | sed 's/^\[[^]]*\] //' | grep -cxF -- "$1"
}

# Waits up to $2 seconds for the log line $1.
await_line() {
    local deadline=$((SECONDS + $2))
    until [ "$(count "$1")" -gt 0 ]; do
        [ "$SECONDS" -lt "$deadline" ] || fail "no line \"$1\" within $2 s"
        sleep 0.2
    done
}

# The client's answer to "$@", without carriage returns. The tray frees its
# pipe at its next poll after a client left; until then the next client
# finds it busy, so a busy pipe is tried again for up to two seconds.
client() {
    local outcome
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        outcome="$("$wine" "$install/tray_client.exe" "$@" 2>/dev/null | tr -d '\r')"
        [ "$outcome" = busy ] || [ "$outcome" = "(not connected)" ] || break
        sleep 0.2
    done
    echo "$outcome"
}

# The service's notification of code $1. Its output goes to a file: the tray
# it may start keeps a pipe open for as long as it runs.
notify() {
    "$wine" "$install/tray_client.exe" notify "$1" >"$work/notify.out" 2>/dev/null </dev/null
    [ "$(tr -d '\r' <"$work/notify.out")" = done ] || fail "notify $1 was not delivered"
}

send() {
    local outcome
    outcome="$(client send "$1")"
    [ "$outcome" = answered ] || fail "code $1: $outcome"
}

expect_count() {
    local seen
    seen="$(count "$1")"
    [ "$seen" -eq "$2" ] || fail "\"$1\" seen $seen times, not $2"
}

# Starts the tray with the command line $1 and waits until it serves.
start_tray() {
    "$wine" "$install/talviktray.exe" "$@" >/dev/null 2>&1 &
    tray_pid=$!
    await_line "Tray started with \"$1\"" "$start_seconds"
}

# Code 0 ends the tray with exit code 0.
expect_end_on_0() {
    local ended="$(count "Tray ended")"
    send 0
    local deadline=$((SECONDS + 20))
    while kill -0 "$tray_pid" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || fail "the tray did not end on 0"
        sleep 0.2
    done
    wait "$tray_pid"
    local status=$?
    tray_pid=""
    [ "$status" -eq 0 ] || fail "the tray exited with $status"
    expect_count "Tray ended" $((ended + 1))
}

[ -f "$tray_exe" ] && [ -f "$client_exe" ] || fail "missing $tray_exe or $client_exe"
command -v Xvfb >/dev/null || fail "no Xvfb: install Debian's xvfb"

Xvfb -displayfd 3 -screen 0 800x600x24 -fbdir "$work" -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"

mkdir -p "$install"
"$wine" wineboot -i >/dev/null 2>&1 || fail "creating the Wine prefix failed"
"$wineserver" -w
"$wineserver" -f -p >/dev/null 2>&1 &
server_pid=$!
cp "$tray_exe" "$install/talviktray.exe" && cp "$client_exe" "$install/tray_client.exe" \
    || fail "cannot copy the programs"
printf '[logging]\r\nloglevel=3\r\n' >"$install/Vidrelo.ini"
"$wine" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers' /v UninstallString \
    /t REG_SZ /d "$win_install\\uninst.exe" /f >/dev/null 2>&1 || fail "cannot write UninstallString"

# The service's own notification: with no tray running it starts one with
# the digit, which shows the balloon; the next goes over the pipe to it, and
# 0 ends it.
notify 5
await_line "Tray started with \"5\"" "$start_seconds"
await_line "Balloon shown: Vidrelo connected via WiFi" 10
notify 4
await_line "Balloon shown: Vidrelo connected via USB" 10
# The pipe is free again at the tray's next poll (the service would lose a
# notification that finds it busy).
sleep 1
notify 0
await_line "Tray ended" 20
expect_count "Tray started with \"5\"" 1
: >"$log"

# Command line 1.
start_tray 1
await_line "Tray menu: Settings, Close" 10
await_line "Balloon shown: Talvik Barcode Reader connected" 10
expect_end_on_0
expect_count "Notification icon removed, the tray ends" 1

# Command line 5, then the messages.
start_tray 5
await_line "Tray menu: Close" 10
await_line "Balloon shown: Vidrelo connected via WiFi" 10
if [ -n "${TALVIK_TRAY_SCREENSHOT:-}" ]; then
    sleep 2
    /usr/bin/python3 "$here/../../../scripts/xwd-to-png.py" "$work/Xvfb_screen0" "$TALVIK_TRAY_SCREENSHOT" 240x120 \
        || fail "no screenshot"
fi
send 5
send 4
send 5
send 9
answer="$(client raw 4ABC)"
[ "$answer" = 'Default answer from server\x00' ] || fail "4ABC was answered \"$answer\""
await_line "Balloon shown: Vidrelo connected via USB" 10
sleep 1
expect_count "Balloon shown: Vidrelo connected via WiFi" 2
expect_count "Balloon shown: Vidrelo connected via USB" 2
busy="$("$wine" "$install/tray_client.exe" busy 2>/dev/null | tr -d '\r')"
for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ "$busy" = "(not connected)" ] || break
    sleep 0.2
    busy="$("$wine" "$install/tray_client.exe" busy 2>/dev/null | tr -d '\r')"
done
[ "$busy" = busy ] || fail "a second client found the pipe $busy"
expect_count "Balloon shown: Vidrelo connected via USB" 2
expect_end_on_0
expect_count "Notification icon removed, the tray ends" 2
echo "PASS: started and told by the service's notifications, menus, balloons per message, answers, busy pipe, 0 ends the tray"
