#!/usr/bin/env bash
# Merges a generated 60 s 1280x720 30 fps H.264+AAC clip with three 30 s MP3
# files in the window (Qt's offscreen platform, settings in a home of its
# own) while a 10 ms timer ticks on the window's event loop, and prints the
# 99th percentile and the longest gap between two ticks. Goal: both <= 50 ms.
# There is no ffmpeg peer: the ffmpeg program has no window.
#
#   bench/window_responsiveness.sh    (BUILD=<build folder>, default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

build=${BUILD:-build/release}
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tavrin_window_responsiveness >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_clip_and_tones "$work"
mkdir -p "$work/home"

HOME=$work/home XDG_CONFIG_HOME=$work/home/config QT_QPA_PLATFORM=offscreen \
    "$build/bench/tavrin_window_responsiveness" "$work/out" "$work/clip.mp4" \
    "$work/tone1.mp3" "$work/tone2.mp3" "$work/tone3.mp3"
