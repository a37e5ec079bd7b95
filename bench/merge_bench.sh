#!/usr/bin/env bash
# Runs tavrin-merge --format MP4 and the ffmpeg program doing the same two
# steps (the three songs joined and cut to the clip's 60 s into a temporary
# MP3, then the final task with the MP4 options), in the same run, on a
# generated 60 s 1280x720 30 fps H.264+AAC clip and three 30 s MP3 files, and
# prints the median wall times and their ratio. Target: wall ratio <= 1.05.
#
#   bench/merge_bench.sh [ROUNDS]    (BUILD=<build folder>, default build/release;
#                                     ROUNDS defaults to 4, rounded up to even)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rounds=$(even_rounds "${1:-4}")
ours=$(program_path tavrin-merge)

make_merge_workspace

run_ours() { run_tavrin_merge --format MP4 --size Auto --no-quality; }
run_peer() {
    ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/tone1.mp3" -i "$work/tone2.mp3" \
        -i "$work/tone3.mp3" -filter_complex concat=n=3:v=0:a=1 \
        -t 60 -c:a libmp3lame -ac 2 -ab 128000 -ar 44100 "$out/tempaudio-peer.mp3"
    ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -i "$out/tempaudio-peer.mp3" \
        -c:v mpeg4 -c:a aac -strict experimental -map 0:0 -map 1:0 "$out/merger-peer.mp4"
    rm -f "$out/tempaudio-peer.mp3"
}

: >"$work/ours.rec"
: >"$work/peer.rec"
# Rounds alternate which program goes first so that neither profits from a
# warmer cache.
for round in $(seq 1 "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then
        measure_wall "$work/ours.rec" run_ours
        measure_wall "$work/peer.rec" run_peer
    else
        measure_wall "$work/peer.rec" run_peer
        measure_wall "$work/ours.rec" run_ours
    fi
done
ow=$(median_of "$work/ours.rec")
pw=$(median_of "$work/peer.rec")
awk -v ow="$ow" -v pw="$pw" -v rounds="$rounds" 'BEGIN {
    ratio = pw > 0 ? ow / pw : 0
    printf "%-34s %10s %10s %7s\n", "task", "ours s", "ffmpeg s", "wall"
    printf "%-34s %10.2f %10.2f %7.3f%s\n", "merge MP4 (join + final task)", ow, pw, ratio,
           ratio <= 1.05 ? "" : "  ABOVE TARGET"
    printf "rounds: %d; ratio is ours / ffmpeg of the medians; target: wall <= 1.05\n", rounds
    exit ratio <= 1.05 ? 0 : 1
}'
