#!/bin/bash
# The Windows USB transport under Wine: the probe binds the usbmuxd test
# double, which speaks usbmuxd's protocol over TCP to the native phone
# simulator acting as usbmuxd. The phone starts detached and is attached
# while the probe looks; then the probe must log, in order: the device
# connected, IDLE -> USB CONNECTING, the phone's formats, USB CONNECTING ->
# USB CONNECTED, video and audio; the phone must get the stream request
# through the 4-byte length prefix and keep the session while the service's
# keep-alives come; after its frames the phone falls silent, and the probe
# must give up after the 500 ms of silence with the library's time-out.
# The probe then connects again by itself, and the phone is detached in the
# second session, which must end it. Every picture and audio block must
# arrive whole.
#
# Usage: test_usb_transport_wine.sh PROBE.exe USBMUXD-TEST-DOUBLE.dll PHONESIM WINE-RUN
set -u

probe="$1" library="$2" phonesim="$3" wine_run="$4"
phone_seconds=90
probe_seconds=90

. "$(dirname "$0")/wine_pairing.sh"

[ -x "$phonesim" ] || fail "no phonesim at $phonesim: build the Linux target phonesim"
[ -f "$probe" ] && [ -f "$library" ] || fail "no probe at $probe or no library at $library"
usbmuxd_port="$(free_port)" && wifi_port="$(free_port)" || fail "found no free TCP port"

# The phone's attach and detach commands come through its standard input.
mkfifo "$work/commands"
"$phonesim" usb --usbmuxd "127.0.0.1:$usbmuxd_port" --usb-detached --video nv12 --frames $((frames + 10)) \
    --fault silence --fault-after "$frames" --sessions 2 --duration "$phone_seconds" \
    <"$work/commands" >"$phone_log" 2>&1 &
phone_pid=$!
exec 3>"$work/commands"
deadline=$((SECONDS + 10))
until grep -q "usbmuxd: listening on" "$phone_log"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the simulator's usbmuxd did not come up"
    sleep 0.1
done

USBMUXD_SOCKET_ADDRESS="127.0.0.1:$usbmuxd_port" "$wine_run" "$probe" --port "$wifi_port" \
    --usbmuxd-library "$library" --sessions 2 --timeout "$probe_seconds" \
    >"$probe_log" 2>&1 &
probe_pid=$!
deadline=$((SECONDS + ready_seconds))
until grep -q "probe: looking for the phone on port $wifi_port" "$probe_log"; do
    kill -0 "$probe_pid" 2>/dev/null || fail "the probe ended before it looked for the phone"
    [ "$SECONDS" -lt "$deadline" ] || fail "the probe did not start within $ready_seconds s"
    sleep 0.1
done
# Attached once the test double listens for device events, so that the
# phone arrives as an event.
deadline=$((SECONDS + 30))
until grep -qE "usbmuxd: client [0-9]+: Listen" "$phone_log"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the test double never subscribed to device events"
    sleep 0.1
done
echo attach >&3

deadline=$((SECONDS + probe_seconds))
until grep -q "session 2: frame=10 " "$phone_log"; do
    kill -0 "$probe_pid" 2>/dev/null || fail "the probe ended before the second session streamed"
    [ "$SECONDS" -lt "$deadline" ] || fail "no second session streamed within $probe_seconds s"
    sleep 0.1
done
echo detach >&3

finish "$probe_pid" $((probe_seconds + 30)) "the probe"
probe_pid=""
[ "$status" -eq 0 ] || fail "the probe exited with $status"
exec 3>&-
finish "$phone_pid" 20 phonesim
phone_pid=""

at=0 found=()
for text in "USB: USB device connected (UDID = XXXXXXXX" \
    "ConnectionManager state change: IDLE -> USB CONNECTING" \
    "probe: OnConnectionReceived(usb): $formats" \
    "ConnectionManager state change: USB CONNECTING -> USB CONNECTED" \
    "probe: first video: raw NV12 picture of $picture_bytes bytes" \
    "USB: usbmuxd_recv_timeout 0 bytes with return value -" \
    "ConnectionManager state change: USB CONNECTED -> IDLE" \
    "ConnectionManager state change: IDLE -> USB CONNECTING" \
    "ConnectionManager state change: USB CONNECTING -> USB CONNECTED" \
    "ConnectionManager state change: USB CONNECTED -> IDLE"; do
    at="$(line_after "$text" "$at")"
    [ -n "$at" ] || fail "no \"$text\" after line ${found[-1]:-0} of the probe's log"
    found+=("$at")
done
[ -n "$(line_after "probe: first audio: $audio_bytes bytes" "${found[3]}")" ] || fail "no audio"
grep -q "session 1: received MESSAGE_STARTSTREAM: format index 0" "$phone_log" \
    || fail "the phone did not get the stream request"
grep -q "session 1: fault silence after $frames frames" "$phone_log" \
    || fail "the session ended before the phone fell silent"
grep -A1 "usbmuxd: device 0 detached" "$phone_log" | grep -q "session 2: ended" \
    || fail "the second session did not end with the detach"

# Session 1 must arrive whole; of session 2, what was in flight when the
# phone was detached may be lost.
sent_in() {
    sed -n "s/.*session $1: ended: .*; sent \\([0-9]*\\) frames, \\([0-9]*\\) audio blocks,.*/\\1 \\2/p" "$phone_log"
}
read -r first_frames first_audio <<<"$(sent_in 1)"
read -r second_frames second_audio <<<"$(sent_in 2)"
[ "${first_frames:-}" = "$frames" ] && [ -n "${second_frames:-}" ] \
    || fail "phonesim did not report sending $frames frames, then the second session's"
received="$(sed -n "s/.*probe: received \\([0-9]*\\) video pictures ($picture_bytes..$picture_bytes bytes), \\([0-9]*\\) audio blocks ($audio_bytes..$audio_bytes bytes).*/\\1 \\2/p" "$probe_log")"
read -r got_frames got_audio <<<"$received"
[ -n "${got_frames:-}" ] || fail "the probe did not log whole pictures and audio blocks only"
[ "$got_frames" -ge "$frames" ] && [ "$got_frames" -le $((frames + second_frames)) ] \
    && [ "$got_audio" -ge "$first_audio" ] && [ "$got_audio" -le $((first_audio + second_audio)) ] \
    || fail "the probe received $got_frames pictures and $got_audio audio blocks of $((frames + second_frames)) and $((first_audio + second_audio))"
echo "PASS: over the USB test double, two sessions, $got_frames pictures and $got_audio audio blocks arrived whole"
