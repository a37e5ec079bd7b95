#!/usr/bin/env bash
# The "Original" merge in one run against two peers, on a generated 60 s
# 1280x720 30 fps H.264+AAC clip and three 30 s MP3 files:
#   - tavrin-merge --format MP4 on the same files (it encodes the video);
#     target: Original at least 5 times faster;
#   - the ffmpeg program doing the same copy-and-join in two steps (the songs
#     joined and cut to 60 s into a temporary WAV, then the video copied with
#     the sound encoded to AAC); target: wall ratio <= 1.05.
#
#   bench/merge_original_bench.sh [ROUNDS]   (BUILD=<build folder>, default
#                                             build/release; ROUNDS defaults to
#                                             4, rounded up to even)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rounds=$(even_rounds "${1:-4}")
ours=$(program_path tavrin-merge)

make_merge_workspace

run_original() { run_tavrin_merge --format Original; }
run_mp4() { run_tavrin_merge --format MP4 --size Auto --no-quality; }
run_peer() {
    ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/tone1.mp3" -i "$work/tone2.mp3" \
        -i "$work/tone3.mp3" -filter_complex concat=n=3:v=0:a=1 \
        -t 60 -c:a pcm_s16le -ac 2 -ar 44100 "$out/tempaudio-peer.wav"
    ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -i "$out/tempaudio-peer.wav" \
        -c:v copy -c:a aac -map 0:0 -map 1:0 "$out/merger-peer.mp4"
    rm -f "$out/tempaudio-peer.wav"
}

: >"$work/original.rec"
: >"$work/mp4.rec"
: >"$work/peer.rec"
# Rounds alternate the order so that none profits from a warmer cache.
for round in $(seq 1 "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then
        measure_wall "$work/original.rec" run_original
        measure_wall "$work/peer.rec" run_peer
        measure_wall "$work/mp4.rec" run_mp4
    else
        measure_wall "$work/mp4.rec" run_mp4
        measure_wall "$work/peer.rec" run_peer
        measure_wall "$work/original.rec" run_original
    fi
done
ow=$(median_of "$work/original.rec")
mw=$(median_of "$work/mp4.rec")
pw=$(median_of "$work/peer.rec")
awk -v ow="$ow" -v mw="$mw" -v pw="$pw" -v rounds="$rounds" 'BEGIN {
    speedup = ow > 0 ? mw / ow : 0
    ratio = pw > 0 ? ow / pw : 0
    printf "%-40s %10s\n", "task", "wall s"
    printf "%-40s %10.3f\n", "tavrin-merge --format Original", ow
    printf "%-40s %10.3f\n", "tavrin-merge --format MP4", mw
    printf "%-40s %10.3f\n", "ffmpeg join to WAV, then copy", pw
    printf "Original against MP4: %.1f times faster%s (target >= 5)\n", speedup,
           (speedup >= 5 ? "" : "  BELOW TARGET")
    printf "Original against ffmpeg: wall ratio %.3f%s (target <= 1.05)\n", ratio,
           (ratio <= 1.05 ? "" : "  ABOVE TARGET")
    printf "rounds: %d; figures are medians\n", rounds
    exit (speedup >= 5 && ratio <= 1.05) ? 0 : 1
}'
