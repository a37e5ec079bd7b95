#!/usr/bin/env bash
# Installs what is missing, builds, makes a small sample video and three audio
# files, and runs the main job on them: tavrin-merge joins the songs, cuts
# them to the video's length and writes the merged video into build/sample/out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# A folder of its own: the test command configures build/release with tests.
build=build/run
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_TESTS=OFF -DTAVRIN_BENCH=OFF
cmake --build "$build" -j "$(nproc)"

sample=build/sample
mkdir -p "$sample"
make_sample() {
    local out=$1
    shift
    [ -s "$sample/$out" ] || ffmpeg -nostdin -hide_banner -loglevel error -y "$@" "$sample/$out"
}
make_sample video.mp4 -f lavfi -i testsrc=size=320x240:rate=25:duration=6 \
    -f lavfi -i sine=frequency=330:duration=6 -c:v mpeg4 -q:v 4 -c:a aac -shortest
make_sample song-1.mp3 -f lavfi -i sine=frequency=440:duration=4 -c:a libmp3lame -b:a 128k
make_sample song-2.wav -f lavfi -i sine=frequency=660:duration=4
make_sample song-3.mp3 -f lavfi -i sine=frequency=880:duration=4 -c:a libmp3lame -b:a 128k

echo "== libraries =="
"$build/app/tavrin-probe" --versions
echo "== merge plan =="
"$build/app/tavrin-merge" --dry-run --format MP4 --out "$sample/out" \
    "$sample/video.mp4" "$sample/song-1.mp3" "$sample/song-2.wav" "$sample/song-3.mp3"
echo "== merge =="
"$build/app/tavrin-merge" --format MP4 --out "$sample/out" \
    "$sample/video.mp4" "$sample/song-1.mp3" "$sample/song-2.wav" "$sample/song-3.mp3"
