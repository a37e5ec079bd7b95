#!/usr/bin/env bash
# Builds every test program that starts threads with ThreadSanitizer and runs
# it whole: the main-thread queue and the logger (runtime), the option layer's
# process-wide state (options), the decoder component (probe), task threads
# and progress (engine), the encoder's runs and events (encoder) and the merge
# job (core), the player (player) and the windows' programs (tests/gui). The
# FFmpeg libraries are not instrumented; what happens inside them is
# suppressed in tests/tsan.supp.
#
# The programs run in parallel, one per core: each GoogleTest program in as
# many shards as there are cores, each window program whole. Every shard's
# output is kept in <build folder>/tsan-logs and shown when it fails.
# Usage: scripts/tsan.sh [build folder, default build/tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/tsan}
jobs=$(nproc)
programs=(core engine options encoder player probe runtime common)

cmake -S . -B "$dir" -G Ninja -DTAVRIN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_BENCH=OFF \
    -DTAVRIN_THREAD_SANITIZER=ON
targets=()
for program in "${programs[@]}"; do
    targets+=(--target "tavrin_${program}_tests")
done
gui_programs=()
for source in tests/gui/*_test.cpp; do
    gui_programs+=("tavrin_gui_$(basename "$source" .cpp)")
    targets+=(--target "tavrin_gui_$(basename "$source" .cpp)")
done
cmake --build "$dir" -j "$jobs" "${targets[@]}"

tsan_options="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
# The player's threads, with the SDL library's own races suppressed. Left
# out: the tests that count on real-time decoding (a 96 kHz six-channel file,
# a clip against its sound) or drawing (the waveform's rate), which the
# sanitizer slows too much.
player_tsan_options="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/player/tsan.supp"
player_filter='-PlayerTest.ManyChannels*:VideoPlaybackTest.AClipShowsItsFrames*:VideoPlaybackTest.ASoundFileDrawsAWaveform'
# The windows, offscreen, with Qt's own inner workings left out.
gui_suppressions="$(cd "$dir" && pwd)/gui_tsan.supp"
cat tests/tsan.supp tests/gui/tsan.supp >"$gui_suppressions"
gui_options="halt_on_error=1 second_deadlock_stack=1 suppressions=$gui_suppressions"

logs="$dir/tsan-logs"
rm -rf "$logs"
mkdir -p "$logs"

# run_logged NAME COMMAND...: runs the command in the background, its output
# and exit status kept under NAME; waits first while every core is busy.
running=0
run_logged() {
    local name=$1
    shift
    if ((running >= jobs)); then
        wait -n || true
        running=$((running - 1))
    fi
    running=$((running + 1))
    (
        started=$(date +%s)
        status=0
        "$@" >"$logs/$name.log" 2>&1 || status=$?
        echo "$status $(($(date +%s) - started))" >"$logs/$name.status"
    ) &
}

names=()
# The window programs first: the merge window's is the longest single run,
# and nothing should wait for it at the end.
for program in "${gui_programs[@]}"; do
    names+=("$program")
    run_logged "$program" env QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="$gui_options" \
        "$dir/tests/gui/$program" -silent
done
for program in "${programs[@]}"; do
    options=$tsan_options
    filter=()
    if [ "$program" = player ]; then
        options=$player_tsan_options
        filter=(--gtest_filter="$player_filter")
    fi
    for ((shard = 0; shard < jobs; ++shard)); do
        name="tavrin_${program}_tests.$((shard + 1))-of-$jobs"
        names+=("$name")
        run_logged "$name" env TSAN_OPTIONS="$options" GTEST_TOTAL_SHARDS="$jobs" \
            GTEST_SHARD_INDEX="$shard" "$dir/tests/tavrin_${program}_tests" --gtest_brief=1 \
            "${filter[@]}"
    done
done
wait

failed=0
for name in "${names[@]}"; do
    read -r status seconds <"$logs/$name.status"
    if [ "$status" -eq 0 ]; then
        echo "-- $name: passed in $seconds s"
    else
        echo "-- $name: FAILED (exit $status) after $seconds s; its output:"
        cat "$logs/$name.log"
        failed=$((failed + 1))
    fi
done
echo "ThreadSanitizer: $((${#names[@]} - failed)) of ${#names[@]} programs and shards passed"
exit $((failed > 0))
