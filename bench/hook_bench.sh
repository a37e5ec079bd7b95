#!/usr/bin/env bash
# The cost of the hooks: the merge application's MP4 final task on the
# generated 60 s 1280x720 clip, run through the encoder component without a
# hook, with a video output hook that changes nothing, and with the preview
# window on (a view that draws nothing). Prints the median wall time of each
# and the ratio of the two hooked runs to the run without hooks.
#
#   bench/hook_bench.sh [ROUNDS]    (BUILD=<build folder>, default build/release)
#
# ROUNDS defaults to 4 and is made even; the modes take turns in each round.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rounds=$(even_rounds "${1:-4}")
build=${BUILD:-build/release}
if [ ! -x "$build/bench/tavrin-hook-bench" ]; then
    cmake --build "$build" --target tavrin-hook-bench >/dev/null
fi
program=$build/bench/tavrin-hook-bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_clip_and_tones "$work"

modes=(none output-hook preview)
declare -A times
for ((round = 0; round < rounds; round++)); do
    for mode in "${modes[@]}"; do
        seconds=$("$program" "$mode" "$work/clip.mp4" "$work/tone1.mp3" "$work/out.mp4")
        times[$mode]+="$seconds "
    done
done

median() {
    tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
base=$(echo "${times[none]}" | median)
printf "%-12s %10s %8s\n" mode "wall (s)" ratio
for mode in "${modes[@]}"; do
    m=$(echo "${times[$mode]}" | median)
    printf "%-12s %10.3f %8.3f\n" "$mode" "$m" "$(awk -v a="$m" -v b="$base" 'BEGIN { print a / b }')"
done
