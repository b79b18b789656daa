#!/bin/bash
# The Windows service under faults: TalvikSvc.exe under Wine's service
# control manager with a camera file (no camera driver exists under Wine),
# the real codec DLLs, the usbmuxd test double as its libusbmuxd and no
# DNS-SD library. Each row of the table below starts a native phone
# simulator (WiFi, or USB through the test double), waits for its stream
# request unless the fault comes with the announcement, applies the fault,
# and checks that the service logs the row's line, still reports RUNNING,
# is back at its status screen once the phone is gone (the camera file gets
# pictures without the simulator's frame numbers) and streams the next
# phone. Rows without a set-up share one service; a row with one (codec
# libraries missing, of the wrong major or lacking an entry point, a DNS-SD
# library lacking its entry points) restarts the service with it in place.
#
# Usage: test_faults_wine.sh TalvikSvc.exe pipe_recorder.exe USBMUXD-TEST-DOUBLE.dll
#            FAKE_CODEC_DIR CODEC_DLL_DIR NATIVE_BIN_DIR
# TALVIK_FAULT_ROW=NAME runs that row only (with the service it needs).
set -u

service_exe="$1" recorder_exe="$2" usbmuxd_double="$3" fakes="$4" codec_dir="$5" native="$6"
. "$(dirname "$0")/wine_service.sh"
install="$work/Talvik" camera="$work/camera" tray="$work/tray"
win_install="Z:${install//\//\\}" win_camera="Z:${camera//\//\\}"
log="$install/log.txt"
shown_logs=("$log" "$tray/tray.log")
codec_dlls=(avutil-56.dll avcodec-58.dll swresample-3.dll swscale-5.dll)
phone_seconds=40
streaming='^StartStreaming: [0-9]+ x [0-9]+ at [0-9]+ fps$' idle='^ConnectionManager state change: .* -> IDLE$'

# name | set-up | transport | phone's options | test's fault | begins | line | after
#   set-up: the install directory's difference, for which the service is
#     restarted (codecs-missing, codecs-older, codecs-incomplete,
#     dnssd-incomplete), or - for the shared service;
#   test's fault: - (the phone's own), silent-tray (a tray that takes the
#     notification and never answers, there before the phone), camera-cut
#     (the camera file cut to its header and 1000 bytes; once the service
#     has said so, a consumer asks for pictures again, which makes room),
#     camera-deleted, resizing-consumer (the camera's consumer asks for
#     640 x 480 and 1280 x 720 in turn, in NV12 or YUY2, every second for
#     20 s, and ends with 1280 x 720 NV12);
#   begins: streaming (the phone was asked for its stream before the
#     fault) or announced (the fault comes with the announcement);
#   line: the service's line, exactly, after its time stamp; {camera} is
#     the camera file; - for none (the phone's fault is to be ignored: the
#     row waits for the phone to say it made it);
#   after: gone (the session ends: IDLE), pictures (the phone's pictures
#     reach the camera), none (the session stays, without the phone's
#     pictures in the camera).
rows=(
    "dns_sd_library_missing|-|wifi||-|streaming|Bonjour not available|pictures"
    "bad_magic|-|wifi|--fault bad-magic|-|streaming|Invalid data received|gone"
    "oversized_payload|-|wifi|--fault oversized-payload|-|streaming|Invalid data received|gone"
    "truncated|-|wifi|--fault truncated|-|streaming|ConnectionManager state change: WIFI CONNECTED -> IDLE|gone"
    "silence|-|wifi|--fault silence|-|streaming|Socket read timeout|gone"
    "unknown_client|-|wifi|--fault unknown-client|-|announced|Unknown client connected (800)|none"
    "barcode_client|-|wifi|--fault barcode-client|-|announced|ConnectionManager state change: WIFI CONNECTING -> WIFI CONNECTED|none"
    "byte_at_a_time|-|wifi|--fault byte-at-a-time --formats 640x480@30:h264|-|streaming|StartStreaming: 640 x 480 at 30 fps|pictures"
    "random_bytes|-|wifi|--fault random-bytes|-|announced|Invalid data received|gone"
    "second_announcement|-|wifi|--fault second-announcement|-|streaming|-|pictures"
    "long_helper_text|-|wifi|--fault long-helper-text|-|streaming|Helper program text of 300 bytes does not fit the command line|pictures"
    "tray_never_answers|-|wifi||silent-tray|streaming|Tray did not answer notification 5 within 2000 ms|pictures"
    "consumer_changes_size_every_second|-|wifi||resizing-consumer|streaming|Video resolution changed, reconnecting to change client resolution from 640 x 480 to 1280 x 720|pictures"
    "camera_file_cut|-|wifi||camera-cut|streaming|Camera file {camera} asks for pictures of 1382400 bytes but holds 1000|pictures"
    "camera_file_deleted|-|wifi||camera-deleted|streaming|Camera file {camera} was deleted: made anew|pictures"
    "usb_oversized_frame|-|usb|--fault usb-oversized-frame|-|streaming|USB: Too large packet (4194305 bytes), disconnecting|gone"
    "usb_empty_frame|-|usb|--fault usb-empty-frame|-|streaming|-|pictures"
    "usbmuxd_attaches_and_detaches_ten_times_a_second|-|usb|--fault usb-flapping --flap-ms 100 --sessions 0|-|streaming|USB: usbmuxd_event_cb_t::UE_DEVICE_REMOVE|gone"
    "dns_sd_library_without_its_entry_points|dnssd-incomplete|wifi||-|streaming|Bonjour: dnssd.dll lacks an entry point|pictures"
    "codec_libraries_missing|codecs-missing|wifi||-|streaming|VideoDecoder has no codec libraries|none"
    "codec_libraries_of_the_wrong_major|codecs-older|wifi||-|streaming|VideoDecoder has no codec libraries|none"
    "codec_library_without_an_entry_point|codecs-incomplete|wifi||-|streaming|VideoDecoder has no codec libraries|none"
)

# Fails the row, saying what became of the service.
fail_row() {
    local state dumps
    state="$(state_of "$(w sc query TalvikSvc)")"
    dumps="$(cd "$install" && ls crash*.dmp 2>/dev/null | tr '\n' ' ')"
    fail "$row_name: $* (the service is ${state:-unknown}${dumps:+; crash dumps: $dumps})"
}

# The service's log over its rotations, oldest first, without carriage
# returns.
whole_log() {
    local file
    for file in "$install/log.2.txt" "$install/log.1.txt" "$log"; do
        [ ! -f "$file" ] || tr -d '\r' <"$file"
    done
}

# Remembers where the log ends now: its last three lines, found again after
# a rotation. Lines after the mark are the row's.
mark_log() {
    whole_log | tail -n 3 >"$work/mark"
}

# The messages (the text after the time stamp) logged since mark_log.
new_messages() {
    whole_log | awk -v markfile="$work/mark" '
        BEGIN { while ((getline line < markfile) > 0) mark[++marks] = line }
        { lines[NR] = $0 }
        END {
            from = 1
            for (end = NR; end >= marks && marks > 0; --end) {
                same = 1
                for (i = 0; i < marks && same; ++i) same = lines[end - i] == mark[marks - i]
                if (same) { from = end + 1; break }
            }
            for (i = from; i <= NR; ++i) { at = index(lines[i], "] "); if (at) print substr(lines[i], at + 2) }
        }'
}

# Waits up to $2 seconds for a message since the mark that equals $1 (or,
# with $3 = regex, matches the extended regular expression $1).
await_message() {
    local deadline=$((SECONDS + $2))
    # Through the environment: awk -v would take the backslashes of Windows
    # paths for escapes.
    until new_messages | text="$1" regex="${3:-}" awk \
        '(ENVIRON["regex"] ? $0 ~ ENVIRON["text"] : $0 == ENVIRON["text"]) { found = 1 } END { exit !found }'; do
        [ "$SECONDS" -lt "$deadline" ] || fail_row "no \"$1\" in log.txt within $2 s"
        sleep 0.2
    done
}

# Whether one second of the camera's pictures holds the phone's frame
# numbers: "yes", "no" (pictures, none of them the phone's) or "none".
camera_shows_phone() {
    local summary
    summary="$("$native/camview" --file "$camera" --stats --phonesim-log "$phone_log" --seconds 1 --timeout 3 \
        2>/dev/null | tail -n 1)"
    case "$summary" in
    *"latency p50"*) echo yes ;;
    *"latency unknown (no frame numbers)"*) echo no ;;
    *) echo none ;;
    esac
}

# Waits up to $2 seconds for the camera to show $1 (see camera_shows_phone).
await_camera() {
    local deadline=$((SECONDS + $2)) seen
    until seen="$(camera_shows_phone)"; [ "$seen" = "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] || fail_row "the camera shows \"$seen\", not \"$1\", after $2 s"
        sleep 0.2
    done
}

# Waits up to $3 seconds for a line of file $1 that matches the extended
# regular expression $2.
await_line_in() {
    local deadline=$((SECONDS + $3))
    until grep -qE -- "$2" "$1"; do
        [ "$SECONDS" -lt "$deadline" ] || fail_row "no line like \"$2\" in $(basename "$1") within $3 s"
        sleep 0.2
    done
}

assert_running() {
    [ "$(state_of "$(w sc query TalvikSvc)")" = RUNNING ] || fail_row "the service does not report RUNNING"
}

# Starts a phone simulator in the background: $1 wifi or usb, then its
# options. Sets phone_pid and phone_log.
start_phone() {
    local transport="$1"
    shift
    phone_log="$work/$row_name.phone$((++phones)).log"
    shown_logs+=("$phone_log")
    if [ "$transport" = usb ]; then
        "$native/phonesim" usb --usbmuxd "$usbmuxd" --duration "$phone_seconds" "$@" \
            </dev/null >"$phone_log" 2>&1 &
    else
        "$native/phonesim" connect --host 127.0.0.1 --port 5055 --duration "$phone_seconds" "$@" \
            >"$phone_log" 2>&1 &
    fi
    phone_pid=$!
}

stop_pid() {
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

# The install directory for set-up $1.
prepare_install() {
    local dll
    rm -f "$install/dnssd.dll"
    for dll in "${codec_dlls[@]}"; do
        case "$1" in
        codecs-missing) rm -f "$install/$dll" ;;
        codecs-older) cp "$fakes/fake_codec_older.dll" "$install/$dll" ;;
        codecs-incomplete) cp "$fakes/fake_codec_incomplete.dll" "$install/$dll" ;;
        *) cp "$codec_dir/$dll" "$install/$dll" ;;
        esac || fail "cannot put $dll in place for $1"
    done
    # A library by the DNS-SD library's name, found first beside the
    # service, that exports none of its entry points.
    [ "$1" != dnssd-incomplete ] || cp "$fakes/fake_codec.dll" "$install/dnssd.dll" || fail "cannot make dnssd.dll"
}

# Runs the service with set-up $1 (stopping the one that runs).
start_service() {
    if [ -n "$service_setup" ]; then
        w sc stop TalvikSvc >/dev/null
        await_state STOPPED "$start_seconds"
    fi
    prepare_install "$1"
    service_setup="$1"
    mark_log
    note_state "$(state_of "$(w sc start TalvikSvc)")"
    await_state RUNNING "$start_seconds"
    await_message "StartLookingForConnections" "$start_seconds"
}

# A phone that streams 30 frames and hangs up must be asked for its stream.
next_phone() {
    mark_log
    start_phone wifi --frames 30
    await_message "$streaming" 30 regex
    await_message "ConnectionDisconnected" 30
    stop_pid "$phone_pid"
}

run_row() {
    local setup transport options fault begins line after silent_pid=""
    IFS='|' read -r row_name setup transport options fault begins line after <<<"$1"
    line="${line//\{camera\}/$win_camera}"
    [ "$setup" = - ] && setup=shared
    # A row with a service of its own looks from the service's start on.
    if [ "$setup" = "$service_setup" ]; then mark_log; else start_service "$setup"; fi
    if [ "$fault" = silent-tray ]; then
        "$wine" "$tray/pipe_recorder.exe" silent >/dev/null 2>&1 &
        silent_pid=$!
        await_line "$tray/tray.log" listening "$start_seconds"
    fi
    # shellcheck disable=SC2086 # the options are words
    start_phone "$transport" $options
    [ "$begins" = announced ] || await_message "$streaming" 30 regex
    case "$fault" in
    camera-cut) truncate -s $((4096 + 1000)) "$camera" || fail "cannot cut the camera file" ;;
    camera-deleted) rm -f "$camera" ;;
    resizing-consumer)
        for second in $(seq 0 19); do
            size=1280x720 format=NV12
            [ $((second % 2)) -eq 1 ] || size=640x480
            [ $((second % 3)) -ne 0 ] || format=YUY2
            "$native/camview" --file "$camera" --request "$size" "$format" >/dev/null || fail_row "camview cannot ask"
            sleep 1
        done
        "$native/camview" --file "$camera" --request 1280x720 NV12 >/dev/null || fail_row "camview cannot ask"
        ;;
    esac
    if [ "$line" = - ]; then
        await_line_in "$phone_log" "^\\[ *[0-9.]+\\] session 1: fault [a-z-]+ after [0-9]+ frames$" 30
    else
        await_message "$line" 30
    fi
    if [ "$fault" = camera-cut ]; then
        "$native/camview" --file "$camera" --request 1280x720 NV12 >/dev/null || fail_row "camview cannot ask again"
    fi
    case "$after" in
    gone) await_message "$idle" 30 regex ;;
    pictures) await_camera yes 20 ;;
    none) [ "$(camera_shows_phone)" != yes ] || fail_row "the phone's pictures reach the camera" ;;
    esac
    [ -z "$silent_pid" ] || grep -qxF 'message: 5\x00' "$tray/tray.log" || fail_row "the tray got no 5"
    stop_pid "$phone_pid"
    stop_pid "$silent_pid"
    await_message "$idle" 30 regex
    await_camera no 10
    assert_running
    next_phone
    assert_running
}

for program in phonesim camview; do
    [ -x "$native/$program" ] || fail "no $program in $native: build the Linux targets"
done
for file in "$service_exe" "$recorder_exe" "$usbmuxd_double" "$fakes/fake_codec.dll" "$codec_dir/avcodec-58.dll"; do
    [ -f "$file" ] || fail "missing $file"
done
# The test double in the service reaches usbmuxd where the library's
# default says; the USB rows' simulator plays it there.
usbmuxd=127.0.0.1:27015
[ -z "$(ss -Htln 'sport = :27015')" ] || fail "something listens on TCP port 27015, where the USB rows' usbmuxd goes"
mkdir -p "$install" "$tray"
start_xvfb
start_prefix
cp "$service_exe" "$install/TalvikSvc.exe" && cp "$usbmuxd_double" "$install/libusbmuxd-2.0.dll" \
    && cp "$recorder_exe" "$tray/pipe_recorder.exe" || fail "cannot copy the programs"
write_service_settings "$install" "$win_install" "$win_camera"
"$wine" "$install/TalvikSvc.exe" install >/dev/null 2>&1 || fail "install failed"
# Wine ends the session's services a few seconds after its last ordinary
# process has gone, persistent server or not: one waits for a key that
# never comes for as long as the rows run.
mkfifo "$work/keys" || fail "cannot make a FIFO"
"$wine" cmd.exe /c pause <"$work/keys" >/dev/null 2>&1 &
exec 4>"$work/keys"

service_setup="" phones=0 phone_pid="" ran=0
trap 'stop_pid "$phone_pid"; cleanup' EXIT
for row in "${rows[@]}"; do
    [ -z "${TALVIK_FAULT_ROW:-}" ] || [ "${row%%|*}" = "$TALVIK_FAULT_ROW" ] || continue
    started=$SECONDS
    run_row "$row"
    echo "row $row_name: $((SECONDS - started)) s"
    ran=$((ran + 1))
done
[ "$ran" -gt 0 ] || fail "no row named ${TALVIK_FAULT_ROW:-}"

row_name=stop
w sc stop TalvikSvc >/dev/null
await_state STOPPED "$start_seconds"
whole_log | tail -n 1 | grep -q '] VidreloEngine deleted$' || fail "the log does not end with the engine's deletion"
echo "PASS: the Windows service survived $ran faults, each time back at its status screen and taking the next phone"
