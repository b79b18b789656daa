#!/bin/bash
# TalvikSetup.exe under Wine, in a Wine prefix of the test's own, on an X
# server of its own (the notifier's balloon needs one), with the picture
# size "Setup" of 1280 x 720 left by an earlier installation. Checks that:
#  - "/S" installs the programs (carrying the version that the uninstall
#    entry shows), the codec DLLs, the toast images, Vidrelo.ini with
#    loglevel 0 and the uninstaller into C:\Program Files\Talvik\, and
#    nothing else; writes the uninstall entry; and returns 0 with the
#    service RUNNING, quiet (no log.txt);
#  - the native phone simulator connects, is asked for the 1280 x 720 entry
#    and streams; the service starts the installed talviktray.exe in the
#    user's session, whose WiFi balloon appears (its log: the test sets
#    loglevel 3 before);
#  - "/S" again upgrades: the service is stopped (the tray ends on its 0),
#    the files replaced, Vidrelo.ini and "Setup" kept, and the service runs
#    again, now logging, and streams again with a new tray;
#  - the uninstaller's "/S" leaves no service, no files, no directory and
#    no uninstall entry, and leaves "Setup" alone;
#  - "/D=" installs into another folder, and the service and the entry name
#    it.
#
# Usage: test_setup_wine.sh TalvikSetup.exe PHONESIM
set -u

setup_exe="$1" phonesim="$2"
. "$(dirname "$0")/wine_service.sh"
install="$WINEPREFIX/drive_c/Program Files/Talvik"
win_install='C:\Program Files\Talvik'
log="$install/log.txt" tray_log="$install/talviktray.log"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers'
settings_key='HKLM\Software\Talvik\Vidrelo'
setup_size=00050000d0020000
phone_seconds=30
shown_logs=("$log" "$tray_log")

[ -f "$setup_exe" ] || fail "no $setup_exe: build the target TalvikSetup"
[ -x "$phonesim" ] || fail "no phonesim at $phonesim: build the Linux target phonesim"

# Runs the installer silently with the further arguments "${@:2}"; it
# returns once the service runs.
run_setup() {
    "$wine" "$setup_exe" /S "${@:2}" >/dev/null 2>&1
    local status=$?
    [ "$status" -eq 0 ] || fail "TalvikSetup.exe /S exited with $status"
    local state
    state="$(state_of "$(w sc query TalvikSvc)")"
    [ "$state" = RUNNING ] || fail "after $1 the service is \"$state\", not RUNNING"
}

# How many lines of the service's and the tray's logs read exactly $1 after
# their time stamp.
count() {
    cat "$log" "$tray_log" 2>/dev/null | tr -d '\r' | sed 's/^\[[^]]*\] //' | grep -cxF -- "$1"
}

# Waits up to $3 seconds until the log line $1 was seen $2 times.
await_count() {
    local deadline=$((SECONDS + $3))
    until [ "$(count "$1")" -ge "$2" ]; do
        [ "$SECONDS" -lt "$deadline" ] || fail "\"$1\" not seen $2 times within $3 s"
        sleep 0.2
    done
}

# The phone connects over WiFi, is asked for its 1280 x 720 entry, streams
# and hangs up; its log goes to $1.
phone_session() {
    shown_logs+=("$1")
    timeout $((phone_seconds + 10)) "$phonesim" connect --host 127.0.0.1 --port 5055 --frames 30 \
        --duration "$phone_seconds" >"$1" 2>&1
    local status=$?
    [ "$status" -eq 0 ] || fail "phonesim exited with $status"
    grep -q "session 1: received MESSAGE_STARTSTREAM: format index 2," "$1" \
        || fail "the phone was not asked for its 1280x720 entry"
}

start_xvfb
start_prefix
w reg add "$settings_key" /v Setup /t REG_BINARY /d "$setup_size" /f >/dev/null || fail "cannot write Setup"

# Installation.
run_setup "the installation"
listing="$(ls "$install" 2>/dev/null | tr '\n' ' ')"
expected="TalvikSvc.exe Vidrelo.ini avcodec-58.dll avutil-56.dll barcode.png swresample-3.dll swscale-5.dll \
talviktray.exe uninst.exe vidrelo.png "
[ "$listing" = "$expected" ] || fail "the install directory holds: $listing"
tr -d '\r' <"$install/Vidrelo.ini" | grep -qx 'loglevel=0' || fail "Vidrelo.ini does not set loglevel 0"
version="$(reg_value "$uninstall_key" DisplayVersion)"
for expected in "UninstallString|$win_install\\uninst.exe" "DisplayName|Talvik" "Publisher|Talvik" \
    "InstallLocation|$win_install"; do
    name="${expected%%|*}" value="${expected#*|}"
    actual="$(reg_value "$uninstall_key" "$name")"
    [ "$actual" = "$value" ] || fail "the uninstall entry's $name is \"$actual\", not \"$value\""
done
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "DisplayVersion is \"$version\""
size="$(reg_value "$uninstall_key" EstimatedSize)"
[ $((size)) -gt 1000 ] || fail "EstimatedSize is \"$size\" KB"
for program in TalvikSvc.exe talviktray.exe; do
    file_version="$(strings -el "$install/$program" | grep -A1 -x FileVersion | tail -n 1)"
    [ "$file_version" = "$version" ] || fail "$program carries the version \"$file_version\", not $version"
done
image="$(reg_value 'HKLM\System\CurrentControlSet\Services\TalvikSvc' ImagePath)"
[ "$image" = "\"$win_install\\TalvikSvc.exe\"" ] || fail "the service runs $image"
[ ! -e "$log" ] || fail "with loglevel 0 the service wrote log.txt"
echo "sizes: TalvikSetup.exe $(stat -c %s "$setup_exe") bytes, installed TalvikSvc.exe" \
    "$(stat -c %s "$install/TalvikSvc.exe"), talviktray.exe $(stat -c %s "$install/talviktray.exe")," \
    "the directory $((size)) KB"

# The programs started from now on log everything.
printf '[logging]\r\nloglevel=3\r\n' >"$install/Vidrelo.ini"
phone_session "$work/phonesim1.log"
await_count 'Tray started with "5"' 1 "$start_seconds"
await_count "Balloon shown: Vidrelo connected via WiFi" 1 10

# Upgrade.
run_setup "the upgrade"
await_count "Tray ended" 1 10
tr -d '\r' <"$install/Vidrelo.ini" | grep -qx 'loglevel=3' || fail "the upgrade replaced Vidrelo.ini"
await_count "Engine Start" 1 "$start_seconds"
await_count "VideoDecoder initialized" 1 10
phone_session "$work/phonesim2.log"
await_count 'Tray started with "5"' 2 "$start_seconds"
await_count "Balloon shown: Vidrelo connected via WiFi" 2 10

# Uninstalls the installation in $1 silently. The uninstaller runs on from
# a copy of itself and returns at once.
uninstall() {
    "$wine" "$1/uninst.exe" /S >/dev/null 2>&1 || fail "uninst.exe /S failed"
    local deadline=$((SECONDS + start_seconds)) left
    while :; do
        left=()
        [ -z "$(state_of "$(w sc query TalvikSvc)")" ] || left+=("the service")
        [ ! -e "$1" ] || left+=("$(ls "$1" | tr '\n' ' ')")
        "$wine" reg query "$uninstall_key" >/dev/null 2>&1 && left+=("the uninstall entry")
        [ "${#left[@]}" -gt 0 ] || break
        [ "$SECONDS" -lt "$deadline" ] || fail "after the uninstallation there are still: ${left[*]}"
        sleep 0.5
    done
}

uninstall "$install"
shown_logs=()
[ "$(reg_value "$settings_key" Setup)" = "${setup_size^^}" ] || fail "the uninstallation changed \"Setup\""

# A folder of the user's choice (one without a blank: NSIS takes /D= only
# unquoted, and Wine quotes an argument with a blank).
custom="$WINEPREFIX/drive_c/Apps/Talvik" win_custom='C:\Apps\Talvik'
run_setup "the installation into $win_custom" "/D=$win_custom"
[ -f "$custom/TalvikSvc.exe" ] || fail "nothing installed into $win_custom"
[ "$(reg_value "$uninstall_key" UninstallString)" = "$win_custom\uninst.exe" ] \
    || fail "the uninstall entry does not name $win_custom\uninst.exe"
image="$(reg_value 'HKLM\System\CurrentControlSet\Services\TalvikSvc' ImagePath)"
[ "$image" = "\"$win_custom\\TalvikSvc.exe\"" ] || fail "the service runs $image"
uninstall "$custom"
[ -d "$WINEPREFIX/drive_c/Apps" ] || fail "the uninstallation removed the folder above the installation"
echo "PASS: installed, running and streaming to the started tray's balloon; upgraded and running again;" \
    "uninstalled without a trace but the remembered size; installed into and uninstalled from a chosen folder"
