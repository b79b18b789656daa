#!/bin/bash
# The connection manager in a Windows process under Wine, with the native
# phone simulator connecting to it over loopback. Checks that the probe
# logs, in order: "Bonjour not available", IDLE -> WIFI CONNECTING, the
# phone's announced formats, WIFI CONNECTING -> WIFI CONNECTED, then video
# and audio; that both programs exit 0; and that every picture and audio
# block the phone sent arrived whole. Prints how long the service took from
# the phone's connect to WIFI CONNECTING.
#
# Usage: test_connection_manager_wine.sh PROBE.exe PHONESIM WINE-RUN
set -u

probe="$1" phonesim="$2" wine_run="$3"
phone_seconds=60
probe_seconds=90

. "$(dirname "$0")/wine_pairing.sh"

# Milliseconds since midnight of the probe's line number $1.
probe_line_ms() {
    sed -n "$1p" "$probe_log" | awk '{ split(substr($1, 2, 12), t, ":"); print ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + t[4] }'
}

[ -x "$phonesim" ] || fail "no phonesim at $phonesim: build the Linux target phonesim"
[ -f "$probe" ] || fail "no probe at $probe"
port="$(free_port)" || fail "found no free TCP port"

"$wine_run" "$probe" --port "$port" --timeout "$probe_seconds" >"$probe_log" 2>&1 &
probe_pid=$!
deadline=$((SECONDS + ready_seconds))
until grep -q "probe: looking for the phone on port $port" "$probe_log"; do
    kill -0 "$probe_pid" 2>/dev/null || fail "the probe ended before it looked for the phone"
    [ "$SECONDS" -lt "$deadline" ] || fail "the probe did not start within $ready_seconds s"
    sleep 0.1
done
! grep -qE "uv_tcp_bind failed|uv_listen failed" "$probe_log" || fail "the probe could not listen on port $port"

"$phonesim" connect --host 127.0.0.1 --port "$port" --video nv12 --frames "$frames" \
    --duration "$phone_seconds" >"$phone_log" 2>&1 &
phone_pid=$!

finish "$phone_pid" $((phone_seconds + 10)) phonesim
phone_pid=""
[ "$status" -eq 0 ] || fail "phonesim exited with $status"
finish "$probe_pid" $((probe_seconds + 30)) "the probe"
probe_pid=""
[ "$status" -eq 0 ] || fail "the probe exited with $status"

# The order of events in the probe's log. The formats come before WIFI
# CONNECTED: the engine hears of the phone while the session is still
# connecting, so that its stream request goes out on that session.
at=0 found=()
for text in "Bonjour not available" \
    "ConnectionManager state change: IDLE -> WIFI CONNECTING" \
    "probe: OnConnectionReceived(wifi): $formats" \
    "ConnectionManager state change: WIFI CONNECTING -> WIFI CONNECTED"; do
    at="$(line_after "$text" "$at")"
    [ -n "$at" ] || fail "no \"$text\" after line ${found[-1]:-0} of the probe's log"
    found+=("$at")
done
connecting_line="${found[1]}"
for text in "probe: first video: raw NV12 picture of $picture_bytes bytes" \
    "probe: first audio: $audio_bytes bytes"; do
    [ -n "$(line_after "$text" "$at")" ] || fail "no \"$text\" after the session was connected"
done
for text in "Bonjour not available" "USB not available" "ConnectionManager state change: IDLE -> WIFI CONNECTING"; do
    count="$(grep -cF "$text" "$probe_log")"
    [ "$count" -eq 1 ] || fail "\"$text\" logged $count times, not once"
done

# Everything the phone sent arrived, none of it cut or merged.
sent="$(sed -n 's/.*session 1: ended: .*; sent \([0-9]*\) frames, \([0-9]*\) audio blocks,.*/\1 \2/p' "$phone_log")"
read -r sent_frames sent_audio <<<"$sent"
[ "${sent_frames:-}" = "$frames" ] || fail "phonesim did not report sending $frames frames"
expected="probe: received $sent_frames video pictures ($picture_bytes..$picture_bytes bytes),"
expected+=" $sent_audio audio blocks ($audio_bytes..$audio_bytes bytes)"
grep -qF "$expected" "$probe_log" || fail "the probe did not log \"$expected\""

# The two logs run on different clocks; the phone's stream request ties
# them together (loopback adds well under a millisecond).
phone_ms() {
    sed -n "s/^\[ *\([0-9.]*\)\] $1.*/\1/p" "$phone_log" | awk '{ printf "%d\n", $1 * 1000; exit }'
}
phone_connected_ms="$(phone_ms "connected to ")"
phone_request_ms="$(phone_ms "session 1: received MESSAGE_STARTSTREAM")"
request_line="$(line_after "StartStreaming: " "$connecting_line")"
if [ -n "$phone_connected_ms" ] && [ -n "$phone_request_ms" ] && [ -n "$request_line" ]; then
    probe_reaction_ms=$((($(probe_line_ms "$request_line") - $(probe_line_ms "$connecting_line") + 86400000) % 86400000))
    echo "phonesim connected -> WIFI CONNECTING under Wine:" \
        "$((phone_request_ms - phone_connected_ms - probe_reaction_ms)) ms"
fi
echo "PASS: $sent_frames pictures and $sent_audio audio blocks arrived whole"
