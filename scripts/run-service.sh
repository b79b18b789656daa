#!/bin/bash
# Builds the native service if needed and runs it in the foreground until
# Ctrl+C. Settings come from $TALVIK_CONFIG_DIR/talvik.conf (default
# ~/.config/talvik/talvik.conf); see docs/configuration.md.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
root="$(cd "$here/.." && pwd)"

"$here/install-linux-deps.sh"
cmake -S "$root" -B "$root/build/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
    || die "configuring the Linux build failed"
cmake --build "$root/build/linux" --target TalvikSvc -j "$(nproc)" >/dev/null || die "building TalvikSvc failed"
exec "$root/build/linux/bin/TalvikSvc" "$@"
