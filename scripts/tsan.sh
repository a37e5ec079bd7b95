#!/usr/bin/env bash
# Builds every test program that starts threads with ThreadSanitizer and runs
# it whole: the main-thread queue and the logger (runtime), the option layer's
# process-wide state (options), the decoder component (probe), task threads
# and progress (engine), the encoder's runs and events (encoder) and the merge
# job (core), and the windows' programs (tests/gui). The FFmpeg libraries are not instrumented; what happens inside
# them is suppressed in tests/tsan.supp.
# Usage: scripts/tsan.sh [build folder, default build/tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/tsan}
programs=(runtime common options probe engine encoder core)

cmake -S . -B "$dir" -G Ninja -DTAVRIN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
targets=()
for program in "${programs[@]}"; do
    targets+=(--target "tavrin_${program}_tests")
done
targets+=(--target tavrin_player_tests)
gui_programs=()
for source in tests/gui/*_test.cpp; do
    gui_programs+=("tavrin_gui_$(basename "$source" .cpp)")
    targets+=(--target "tavrin_gui_$(basename "$source" .cpp)")
done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
for program in "${programs[@]}"; do
    echo "-- tavrin_${program}_tests"
    "$dir/tests/tavrin_${program}_tests" --gtest_brief=1
done
# The player's threads, with the SDL library's own races suppressed. Left
# out: the tests that count on real-time decoding (a 96 kHz six-channel file,
# a clip against its sound) or drawing (the waveform's rate), which the
# sanitizer slows too much.
echo "-- tavrin_player_tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/player/tsan.supp" \
    "$dir/tests/tavrin_player_tests" --gtest_brief=1 \
    --gtest_filter='-PlayerTest.ManyChannels*:VideoPlaybackTest.AClipShowsItsFrames*:VideoPlaybackTest.ASoundFileDrawsAWaveform'
# The windows, offscreen, with Qt's own inner workings left out.
gui_suppressions="$(cd "$dir" && pwd)/gui_tsan.supp"
cat tests/tsan.supp tests/gui/tsan.supp >"$gui_suppressions"
for program in "${gui_programs[@]}"; do
    echo "-- $program"
    QT_QPA_PLATFORM=offscreen \
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$gui_suppressions" \
        "$dir/tests/gui/$program" -silent
done
