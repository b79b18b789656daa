#!/bin/bash
# The Windows product end to end: TalvikSvc.exe under Wine's service control
# manager, with the FFmpeg 4 DLLs in its install directory and a camera file
# named by "CameraFile" in its configuration (no camera driver exists under
# Wine). The native windows_camera_check then looks at the camera file from
# outside Wine: the status screen, then the native phone simulator's stream
# in each pixel format (it starts the simulator itself). Last, the service
# stops cleanly.
#
# Usage: test_streaming_wine.sh TalvikSvc.exe CODEC_DLL_DIR NATIVE_BIN_DIR
set -u

service_exe="$1" codec_dir="$2" native="$3"
. "$(dirname "$0")/wine_service.sh"
install="$work/Talvik" camera="$work/camera"
win_install="Z:${install//\//\\}" win_camera="Z:${camera//\//\\}"
log="$install/log.txt"
shown_logs=("$log")

for program in windows_camera_check phonesim camview; do
    [ -x "$native/$program" ] || fail "no $program in $native: build the Linux targets"
done
mkdir -p "$install"
start_prefix
cp "$service_exe" "$install/TalvikSvc.exe" || fail "cannot copy the service"
for dll in avutil-56.dll avcodec-58.dll swresample-3.dll swscale-5.dll; do
    cp "$codec_dir/$dll" "$install/" || fail "no $dll in $codec_dir"
done
write_service_settings "$install" "$win_install" "$win_camera"

"$wine" "$install/TalvikSvc.exe" install >/dev/null 2>&1 || fail "install failed"
note_state "$(state_of "$(w sc start TalvikSvc)")"
await_state RUNNING "$start_seconds"

deadline=$((SECONDS + start_seconds))
until grep -q '] VideoDriver loaded' "$log" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "the camera file was not opened within $start_seconds s"
    sleep 0.2
done
TALVIK_WINE_CAMERA="$camera" TALVIK_WINE_LOG="$log" "$native/windows_camera_check" --gtest_brief=1 \
    || fail "what the camera file shows is wrong (above)"

w sc stop TalvikSvc >/dev/null
await_state STOPPED "$start_seconds"
tr -d '\r' <"$log" | tail -n 1 | grep -q '] VidreloEngine deleted$' || fail "the log does not end with the engine's deletion"
echo "PASS: the Windows service paints the status screen and streams the phone's pictures into the camera file"
