#!/bin/bash
# Cross toolchain, Wine, and the Windows-side dependencies built or unpacked
# into $TALVIK_CACHE/win64. Idempotent: every stage leaves a stamp keyed by the
# version it produced.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"

apt_install mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
    wine wine64 xvfb xauth dpkg-dev cmake ninja-build nasm make nsis \
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

# Adds a temporary deb-src entry for Debian release $1 (and its updates and
# security suites) as the file $2, then reads the package lists.
add_source_entry() {
    local suite="$1" file="$2"
    cat > "$file" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    tmp_sources+=("$file")
}

# Downloads source package $1 at version $2 and unpacks it as $3/srcdir.
unpack_source() {
    local package="$1" version="$2" work="$3"
    rm -rf "$work"; mkdir -p "$work"
    (cd "$work" && chown _apt "$work" 2>/dev/null; apt-get source -qq --download-only "$package=$version" >/dev/null) \
        || die "apt-get source $package=$version failed"
    (cd "$work" && dpkg-source -x ./*.dsc srcdir >/dev/null) || die "unpacking the source of $package failed"
}

# --- libuv, cross-built from Debian's source package ------------------------
uv_version="$(dpkg-query -W -f='${Version}' libuv1 2>/dev/null || true)"
[ -n "$uv_version" ] || uv_version="$(apt-cache policy libuv1 | awk '/Candidate:/ {print $2}')"
[ -n "$uv_version" ] || die "cannot tell the libuv1 version"
uv_stamp="$prefix/.libuv-$uv_version"
if [ ! -f "$uv_stamp" ]; then
    need_root "fetching libuv's source package"
    step "cross-building libuv $uv_version"
    add_source_entry bookworm /etc/apt/sources.list.d/talvik-bookworm-src.sources
    apt-get update -qq || die "apt-get update with the deb-src entry failed"
    work="$TALVIK_CACHE/src/libuv"
    unpack_source libuv1 "$uv_version" "$work"
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

# --- FFmpeg 4.3, cross-built from bullseye's source package ---------------
# The four DLLs the service loads ("avutil-56.dll", "avcodec-58.dll",
# "swresample-3.dll", "swscale-5.dll") go to ffmpeg4/bin, their headers to
# ffmpeg4/ (the only FFmpeg headers the Windows build sees).
ff_version="7:4.3.7-0+deb11u1"
ff_stamp="$prefix/.ffmpeg4-$ff_version"
if [ ! -f "$ff_stamp" ]; then
    need_root "fetching bullseye's FFmpeg source package"
    step "cross-building FFmpeg $ff_version"
    add_source_entry bullseye /etc/apt/sources.list.d/talvik-bullseye-src.sources
    # Pin bullseye far down so that nothing is ever installed from it.
    pin=/etc/apt/preferences.d/talvik-bullseye
    printf 'Package: *\nPin: release n=bullseye\nPin-Priority: -1\n\nPackage: *\nPin: release n=bullseye-security\nPin-Priority: -1\n' > "$pin"
    tmp_sources+=("$pin")
    apt-get update -qq || die "apt-get update with the bullseye deb-src entry failed"
    work="$TALVIK_CACHE/src/ffmpeg4"
    unpack_source ffmpeg "$ff_version" "$work"
    # Installed into a staging tree first, so that a failed build leaves the
    # previous FFmpeg in place for the builds that use it.
    out="$prefix/ffmpeg4"
    stage="$work/stage"
    (cd "$work/srcdir" && ./configure --prefix="$out" --incdir="$out" --bindir="$out/bin" --shlibdir="$out/bin" \
        --libdir="$out/lib" \
        --target-os=mingw32 --arch=x86_64 --cross-prefix=x86_64-w64-mingw32- \
        --windres="$here/windres-drop-preprocessor.sh" \
        --enable-shared --disable-static --disable-everything --enable-decoder=h264 --enable-parser=h264 \
        --disable-programs --disable-doc --disable-avdevice --disable-avformat --disable-avfilter \
        --disable-postproc --disable-network --enable-swscale --enable-swresample >"$work/configure.log" 2>&1) \
        || die "configuring FFmpeg's cross build failed; see $work/configure.log"
    make -C "$work/srcdir" -j"$(nproc)" >"$work/build.log" 2>&1 || die "building FFmpeg for Windows failed; see $work/build.log"
    make -C "$work/srcdir" install DESTDIR="$stage" >>"$work/build.log" 2>&1 \
        || die "installing FFmpeg failed; see $work/build.log"
    for dll in avutil-56.dll avcodec-58.dll swresample-3.dll swscale-5.dll; do
        [ -f "$stage$out/bin/$dll" ] || die "$dll not produced by FFmpeg's cross build"
    done
    grep -q 'LIBAVCODEC_VERSION_MAJOR *58' "$stage$out/libavcodec/version.h" \
        || die "unexpected libavcodec version in FFmpeg's headers"
    rm -rf "$out"
    mv "$stage$out" "$out" || die "moving FFmpeg into $out failed"
    rm -rf "$work"
    rm -f "$prefix"/.ffmpeg4-*
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
