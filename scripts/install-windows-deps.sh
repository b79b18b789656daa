#!/bin/bash
# Cross toolchain, Wine, and the Windows-side dependencies built or unpacked
# into $TALVIK_CACHE/win64. Idempotent: every stage leaves a stamp keyed by the
# version it produced.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"

apt_install mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    wine wine64 xvfb xauth dpkg-dev cmake ninja-build \
    libspdlog-dev libfmt-dev libconcurrentqueue-dev

command -v x86_64-w64-mingw32-g++-posix >/dev/null || die "x86_64-w64-mingw32-g++-posix missing after install"
[ -x /usr/lib/wine/wine64 ] || die "/usr/lib/wine/wine64 missing after installing wine64"

prefix="$TALVIK_CACHE/win64"
mkdir -p "$prefix/include" "$prefix/lib" "$TALVIK_CACHE/src"

# Temporary apt source entries are always removed, even on failure.
tmp_sources=()
cleanup_sources() {
    local f
    if [ "${#tmp_sources[@]}" -gt 0 ]; then
        for f in "${tmp_sources[@]}"; do rm -f "$f"; done
        apt-get update -qq || echo "warning: apt-get update after removing temporary sources failed" >&2
    fi
}
trap cleanup_sources EXIT

# --- libuv, cross-built from Debian's source package ------------------------
uv_version="$(dpkg-query -W -f='${Version}' libuv1 2>/dev/null || true)"
[ -n "$uv_version" ] || uv_version="$(apt-cache policy libuv1 | awk '/Candidate:/ {print $2}')"
[ -n "$uv_version" ] || die "cannot tell the libuv1 version"
uv_stamp="$prefix/.libuv-$uv_version"
if [ ! -f "$uv_stamp" ]; then
    need_root "fetching libuv's source package"
    step "cross-building libuv $uv_version"
    src_list=/etc/apt/sources.list.d/talvik-bookworm-src.sources
    cat > "$src_list" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    tmp_sources+=("$src_list")
    apt-get update -qq || die "apt-get update with the deb-src entry failed"
    work="$TALVIK_CACHE/src/libuv"
    rm -rf "$work"; mkdir -p "$work"
    (cd "$work" && chown _apt "$work" 2>/dev/null; apt-get source -qq --download-only "libuv1=$uv_version" >/dev/null) \
        || die "apt-get source libuv1=$uv_version failed"
    (cd "$work" && dpkg-source -x ./*.dsc srcdir >/dev/null) || die "unpacking libuv's source failed"
    cmake -S "$work/srcdir" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF \
        -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null || die "configuring libuv's cross build failed"
    cmake --build "$work/build" --target uv_a >/dev/null || die "building libuv for Windows failed"
    cp "$work/build/libuv_a.a" "$prefix/lib/" || die "libuv_a.a not produced"
    rm -rf "$prefix/include/uv" "$prefix/include/uv.h"
    cp -r "$work/srcdir/include/uv.h" "$work/srcdir/include/uv" "$prefix/include/"
    rm -rf "$work"
    rm -f "$prefix"/.libuv-*
    touch "$uv_stamp"
fi

# --- header-only spdlog, fmt, concurrentqueue -----------------------------------
hdr_version="$(dpkg-query -W -f='${Version}' libspdlog-dev)-$(dpkg-query -W -f='${Version}' libfmt-dev)-$(dpkg-query -W -f='${Version}' libconcurrentqueue-dev)"
hdr_stamp="$prefix/.headers-$hdr_version"
if [ ! -f "$hdr_stamp" ]; then
    step "copying spdlog, fmt and concurrentqueue headers"
    rm -rf "$prefix/include/spdlog" "$prefix/include/fmt" "$prefix/include/concurrentqueue"
    cp -r /usr/include/spdlog /usr/include/fmt /usr/include/concurrentqueue "$prefix/include/" \
        || die "header directories missing from the -dev packages"
    rm -f "$prefix"/.headers-*
    touch "$hdr_stamp"
fi

# --- FFmpeg 4.3 headers from bullseye, unpacked, never installed -----------
ff_stamp="$prefix/.ffmpeg4-headers-v1"
if [ ! -f "$ff_stamp" ]; then
    need_root "downloading bullseye's FFmpeg -dev packages"
    step "fetching FFmpeg 4 headers from bullseye"
    list=/etc/apt/sources.list.d/talvik-bullseye.sources
    cat > "$list" <<SRC
Types: deb
URIs: http://deb.debian.org/debian
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    tmp_sources+=("$list")
    # Pin bullseye far down so that nothing is ever installed from it.
    pin=/etc/apt/preferences.d/talvik-bullseye
    printf 'Package: *\nPin: release n=bullseye\nPin-Priority: -1\n' > "$pin"
    tmp_sources+=("$pin")
    apt-get update -qq || die "apt-get update with the bullseye entry failed"
    dl="$TALVIK_CACHE/src/ffmpeg4"
    rm -rf "$dl"; mkdir -p "$dl"
    for p in libavcodec-dev libavutil-dev libswscale-dev libswresample-dev; do
        v="$(apt-cache madison "$p" | awk -F'|' '/bullseye/ {gsub(/ /,"",$2); print $2; exit}')"
        [ -n "$v" ] || die "no bullseye version of $p"
        (cd "$dl" && chown _apt "$dl" 2>/dev/null; apt-get download -qq "$p=$v") || die "apt-get download $p=$v failed"
    done
    for d in "$dl"/*.deb; do dpkg-deb -x "$d" "$dl/root" || die "dpkg-deb -x $d failed"; done
    rm -rf "$prefix/ffmpeg4"; mkdir -p "$prefix/ffmpeg4"
    cp -r "$dl/root/usr/include/x86_64-linux-gnu/"* "$prefix/ffmpeg4/" || die "FFmpeg headers not found in the debs"
    grep -q 'LIBAVCODEC_VERSION_MAJOR *58' "$prefix/ffmpeg4/libavcodec/version.h" || die "unexpected libavcodec version in bullseye headers"
    rm -rf "$dl"
    touch "$ff_stamp"
fi

# --- Wine prefix -----------------------------------------------------------
: "${WINEPREFIX:=$TALVIK_CACHE/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.talvik-ready" ]; then
    step "creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wine64 wineboot -u >/dev/null 2>&1 || die "wineboot -u failed"
    /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 \
        || die "setting the Wine X11 Managed value failed"
    /usr/lib/wine/wineserver -w || true
    touch "$WINEPREFIX/.talvik-ready"
fi
echo "Windows dependencies ready in $prefix"
