#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and benchmark.
# Idempotent and non-interactive; runs as root on a fresh Debian 12 machine.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git file binutils
    # The compiler cache every build tree and clone shares (cmake/compiler_cache.cmake).
    ccache
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang-format
    # clang with its libFuzzer runtime for the fuzz targets in tests/fuzz.
    clang libclang-rt-14-dev
    # FFmpeg 5.1: headers at build time, shared objects loaded at run time,
    # the ffmpeg/ffprobe programs for fixtures, oracles and benchmarks.
    libavcodec-dev libavformat-dev libavfilter-dev libavdevice-dev
    libavutil-dev libswresample-dev libswscale-dev ffmpeg
    libsdl2-dev
    # Xlib: the player tests make a host window of their own to draw into.
    libx11-dev
    # Qt 6 Widgets for the windows, its platform plugins (xcb, offscreen) and
    # Qt Test; a font so that windows draw their texts.
    qt6-base-dev qt6-qpa-plugins libqt6test6 fonts-dejavu-core
    # An X server without a screen for the player's picture tests and benchmark.
    xvfb xauth
    # /usr/bin/time: peak memory of the programs the benchmarks compare.
    time
    # The package and its checks: the icon's PNG sizes are drawn from its SVG,
    # the desktop entry and the package are validated, manual pages read.
    librsvg2-bin desktop-file-utils lintian man-db
    # python3: the tests read tavrin-merge's JSON plan with its json module.
    python3
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -q
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
else
    echo "setup: all packages present"
fi
