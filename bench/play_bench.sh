#!/usr/bin/env bash
# tavrin-play against ffplay -autoexit playing the same 20 s 1280x720 H.264+AAC
# clip to the end, both on one Xvfb screen with SDL's disk audio driver
# writing to /dev/null. Prints per program the median CPU time (user + sys,
# from /usr/bin/time) and the median time from start to its first picture
# (the moment its window becomes viewable: both make it hidden and show it
# with the first picture; polled every 5 ms with xwininfo), and the ratios.
# Targets: CPU ratio <= 1.1, first-picture ratio <= 1.0.
# Usage: bench/play_bench.sh [ROUNDS, default 4, made even]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rounds=$(even_rounds "${1:-4}")
ours=$(program_path tavrin-play)
work=$(mktemp -d)
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "generating a 20 s 720p clip in $work ..."
make_file -f lavfi -i "testsrc2=size=1280x720:rate=30:duration=20" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=20" \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k -shortest \
    "$work/clip.mp4"

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null

# One run: prints "cpu_seconds first_picture_seconds".
run_once() {
    local title=$1
    shift
    local start now first=""
    start=$(date +%s.%N)
    /usr/bin/time -f "%U %S" -o "$work/time.txt" "$@" >/dev/null 2>&1 </dev/null &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        if [ -z "$first" ] && xwininfo -name "$title" 2>/dev/null | grep -q IsViewable; then
            now=$(date +%s.%N)
            first=$(echo "$now - $start" | bc -l)
        fi
        sleep 0.005
    done
    wait "$pid"
    read -r user sys <"$work/time.txt"
    echo "$(echo "$user + $sys" | bc -l) ${first:-nan}"
}

median() {
    sort -g | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

ours_run() { run_once "DEDudevo" "$ours" "$work/clip.mp4"; }
peer_run() { run_once "$work/clip.mp4" ffplay -hide_banner -loglevel error -autoexit "$work/clip.mp4"; }

echo "warm-up ..."
ours_run >/dev/null
peer_run >/dev/null
: >"$work/ours.txt"
: >"$work/peer.txt"
for round in $(seq "$rounds"); do
    if ((round % 2)); then
        ours_run >>"$work/ours.txt"
        peer_run >>"$work/peer.txt"
    else
        peer_run >>"$work/peer.txt"
        ours_run >>"$work/ours.txt"
    fi
done

ours_cpu=$(cut -d' ' -f1 "$work/ours.txt" | median)
peer_cpu=$(cut -d' ' -f1 "$work/peer.txt" | median)
ours_first=$(cut -d' ' -f2 "$work/ours.txt" | median)
peer_first=$(cut -d' ' -f2 "$work/peer.txt" | median)
printf "%-12s %12s %14s\n" program "cpu (s)" "first pic (s)"
printf "%-12s %12.3f %14.3f\n" tavrin-play "$ours_cpu" "$ours_first"
printf "%-12s %12.3f %14.3f\n" ffplay "$peer_cpu" "$peer_first"
printf "ratio cpu %.3f (target <= 1.1), first picture %.3f (target <= 1.0)\n" \
    "$(echo "$ours_cpu / $peer_cpu" | bc -l)" "$(echo "$ours_first / $peer_first" | bc -l)"
