#!/bin/bash
# TalvikSvc under Wine's service control manager, in a Wine prefix of the
# test's own (the service database and HKLM change), installed in a
# directory whose path has a blank. Checks that:
#  - "install" (in mixed letter case) exits 0 and registers the service; a
#    second one, from another copy, exits 0 and leaves the service as it was
#    (image path, and a description changed in between);
#  - the service starts and reports RUNNING; the native phone simulator
#    connecting to port 5055 is asked for the 1280x720 stream that "Setup"
#    in the registry calls for, and log.txt shows the connection, the engine
#    state and the stream request;
#  - with no tray running, the first connection starts "talviktray.exe 5"
#    (here a recorder) in the user's session; the next connection's 5 and
#    the stop's 0 go to it over the pipe;
#  - a stop is answered with STOP_PENDING at checkpoint 3 (START_PENDING
#    took 1, the stop's two reports 2 and 3), then STOPPED follows, and the
#    log ends with the engine's stop and deletion.
#
# Usage: test_service_wine.sh TalvikSvc.exe pipe_recorder.exe PHONESIM
set -u

service_exe="$1" recorder_exe="$2" phonesim="$3"
. "$(dirname "$0")/wine_service.sh"
install="$work/Talvik Drivers" second="$work/second copy"
win_install="Z:${install//\//\\}"
log="$install/log.txt" tray_log="$install/tray.log"
service_key='HKLM\System\CurrentControlSet\Services\TalvikSvc'
phone_seconds=30
shown_logs=("$log" "$tray_log")

# The phone connects to port 5055, streams $2 frames and hangs up; its log
# goes to $1.
phone_session() {
    phone_log="$1"
    shown_logs+=("$phone_log")
    timeout $((phone_seconds + 10)) "$phonesim" connect --host 127.0.0.1 --port 5055 --frames "$2" \
        --duration "$phone_seconds" >"$phone_log" 2>&1
    local status=$?
    [ "$status" -eq 0 ] || fail "phonesim exited with $status"
    grep -q "session 1: received MESSAGE_STARTSTREAM: format index 2," "$phone_log" \
        || fail "the phone was not asked for its 1280x720 entry"
}

# The line numbers of the fixed texts "$@" in log.txt, each after the one
# before; fails when one is missing.
in_order() {
    local at=0 next
    for text in "$@"; do
        next="$(awk -v text="$text" -v after="$at" 'NR > after && index($0, text) { print NR; exit }' "$log")"
        [ -n "$next" ] || fail "no \"$text\" after line $at of log.txt"
        at="$next"
    done
}

[ -x "$phonesim" ] || fail "no phonesim at $phonesim: build the Linux target phonesim"
[ -f "$service_exe" ] && [ -f "$recorder_exe" ] || fail "missing $service_exe or $recorder_exe"
mkdir -p "$install" "$second"
start_prefix
cp "$service_exe" "$install/TalvikSvc.exe" && cp "$service_exe" "$second/TalvikSvc.exe" \
    && cp "$recorder_exe" "$install/talviktray.exe" || fail "cannot copy the programs"
printf '[logging]\r\nloglevel=3\r\n' >"$install/Vidrelo.ini"
w reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers' /v UninstallString \
    /t REG_SZ /d "$win_install\\uninst.exe" /f >/dev/null || fail "cannot write UninstallString"
# The camera last asked for 1280 x 720.
w reg add 'HKLM\Software\Talvik\Vidrelo' /v Setup /t REG_BINARY /d 00050000d0020000 /f >/dev/null \
    || fail "cannot write Setup"

# Installation, twice.
"$wine" "$install/TalvikSvc.exe" InStAlL >/dev/null 2>&1
status=$?
[ "$status" -eq 0 ] || fail "install exited with $status"
image="\"$win_install\\TalvikSvc.exe\""
for expected in "ImagePath|$image" "DisplayName|Talvik Service" "Description|Talvik connection manager" \
    "Type|0x10" "Start|0x2" "ErrorControl|0x1" "ObjectName|LocalSystem"; do
    name="${expected%%|*}" value="${expected#*|}"
    actual="$(reg_value "$service_key" "$name")"
    [ "$actual" = "$value" ] || fail "the service's $name is \"$actual\", not \"$value\""
done
w sc description TalvikSvc "changedbythetest" >/dev/null
"$wine" "$second/TalvikSvc.exe" INSTALL >/dev/null 2>&1
status=$?
[ "$status" -eq 0 ] || fail "the second install exited with $status"
[ "$(reg_value "$service_key" ImagePath)" = "$image" ] || fail "the second install changed the image path"
description="$(reg_value "$service_key" Description)"
[ "$description" = "changedbythetest" ] || fail "the second install changed the description to \"$description\""

# Start.
note_state "$(state_of "$(w sc start TalvikSvc)")"
await_state RUNNING "$start_seconds"

# First connection: no tray runs, so the service starts it with the code.
phone_session "$work/phonesim1.log" 30
await_line "$tray_log" "started: \"$win_install\\talviktray.exe\" 5" "$start_seconds"
await_line "$tray_log" "listening" "$start_seconds"
# Second connection: the code goes over the pipe.
phone_session "$work/phonesim2.log" 30
await_line "$tray_log" 'message: 5\x00' 10

# Stop.
stopping="$(w sc stop TalvikSvc)"
note_state "$(state_of "$stopping")"
[ "$(state_of "$stopping")" = STOP_PENDING ] || fail "sc stop answered: $stopping"
grep -qE "CHECKPOINT +: 0x3$" <<<"$stopping" || fail "the stop was not reported twice: $stopping"
await_state STOPPED "$start_seconds"
seen="${states[*]}"
[[ "$seen" =~ ^(START_PENDING )?RUNNING\ (STOP_PENDING )?STOPPED$ ]] || fail "states seen in this order: $seen"
await_line "$tray_log" 'message: 0\x00' 10
await_line "$tray_log" "ended" 10
[ "$(grep -c '^message: ' "$tray_log")" -eq 2 ] || fail "the tray got other messages than 5 and 0"

connected=("Vidrelo connection received" "VidreloEngine: IDLE -> VIDRELO CONNECTED"
    "StartStreaming: 1280 x 720 at 30 fps")
in_order "Engine Start" "${connected[@]}" "${connected[@]}" "Engine Stop" "VidreloEngine deleted"
echo "PASS: installed, started, two phone sessions, tray started then told over its pipe, stopped"
