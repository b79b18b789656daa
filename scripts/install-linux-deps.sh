#!/bin/bash
# Debian 12 packages for the native build, its tests, the fuzzer and the
# phone simulator. Idempotent.
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"

apt_install \
    build-essential cmake ninja-build pkg-config git ca-certificates dpkg-dev lintian \
    libuv1-dev libusbmuxd-dev libplist-dev \
    libspdlog-dev libfmt-dev libconcurrentqueue-dev libinih-dev \
    libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libx264-dev \
    googletest libgtest-dev libgmock-dev libbenchmark-dev \
    clang libclang-rt-14-dev \
    libavahi-compat-libdnssd-dev avahi-daemon avahi-utils libnss-mdns dbus python3-dbus python3-gi \
    libnotify-dev \
    libpng-dev libfreetype-dev libfontconfig-dev fonts-dejavu-core python3-cairo \
    pulseaudio pulseaudio-utils \
    libpipewire-0.3-dev libspa-0.2-dev pipewire pipewire-bin pipewire-pulse pipewire-v4l2 wireplumber \
    gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
