#!/usr/bin/env bash
# Opens and describes a folder of 50 small generated files (MP4 with video and
# audio, MP3, WAV, Matroska, MPEG-TS) with tavrin-probe and with
# "ffprobe -show_format -show_streams", one process per file for both, in the
# same run, and prints the ratio of the wall times. Target: ratio <= 1.10.
#
#   bench/probe_bench.sh [ROUNDS]      (BUILD=<build folder>, default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rounds=${1:-5}
probe=$(program_path tavrin-probe)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "generating 50 files in $work ..."
for i in $(seq 1 10); do
    seconds=$((1 + i % 3))
    make_file -f lavfi -i "testsrc=size=160x120:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=$((200 + 40 * i)):duration=$seconds" \
        -c:v mpeg4 -q:v 5 -c:a aac -b:a 64k -shortest "$work/clip-$i.mp4"
    make_file -f lavfi -i "sine=frequency=$((300 + 30 * i)):duration=$seconds" \
        -metadata title="Tone $i" -metadata track="$i/10" -c:a libmp3lame "$work/tone-$i.mp3"
    make_file -f lavfi -i "sine=frequency=$((500 + 20 * i)):duration=$seconds" "$work/tone-$i.wav"
    make_file -i "$work/clip-$i.mp4" -map 0 -c copy -metadata title="Clip $i" "$work/clip-$i.mkv"
    make_file -i "$work/clip-$i.mp4" -map 0 -c copy "$work/clip-$i.ts"
done
files=("$work"/*)
[ "${#files[@]}" -eq 50 ] || { echo "expected 50 files, got ${#files[@]}" >&2; exit 1; }

now_ns() { date +%s%N; }
ours_ns=0
peer_ns=0
# Rounds alternate which program goes first so that neither profits from a
# warmer cache.
for round in $(seq 1 "$rounds"); do
    for turn in 1 2; do
        if [ $(((round + turn) % 2)) -eq 0 ]; then
            start=$(now_ns)
            for f in "${files[@]}"; do "$probe" "$f" >/dev/null; done
            ours_ns=$((ours_ns + $(now_ns) - start))
        else
            start=$(now_ns)
            for f in "${files[@]}"; do
                ffprobe -v error -show_format -show_streams "$f" >/dev/null
            done
            peer_ns=$((peer_ns + $(now_ns) - start))
        fi
    done
done

# All 50 files in one tavrin-probe process, for information.
start=$(now_ns)
for round in $(seq 1 "$rounds"); do "$probe" "${files[@]}" >/dev/null; done
single_ns=$(($(now_ns) - start))

awk -v ours="$ours_ns" -v peer="$peer_ns" -v single="$single_ns" -v rounds="$rounds" 'BEGIN {
    ratio = ours / peer
    printf "files: 50, rounds: %d\n", rounds
    printf "tavrin-probe, one process per file: %.3f s per round\n", ours / rounds / 1e9
    printf "ffprobe -show_format -show_streams: %.3f s per round\n", peer / rounds / 1e9
    printf "tavrin-probe, one process for all:  %.3f s per round\n", single / rounds / 1e9
    printf "ratio (tavrin-probe / ffprobe): %.3f (target <= 1.10) %s\n", ratio,
           ratio <= 1.10 ? "OK" : "ABOVE TARGET"
}'
