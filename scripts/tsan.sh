#!/usr/bin/env bash
# Builds the engine's tests with ThreadSanitizer and runs the tests of task
# threads (start, stop, pause, cancel, the stress of random control calls)
# and of progress reports. The FFmpeg libraries are not instrumented; what
# happens inside them is suppressed in tests/engine/tsan.supp.
# Usage: scripts/tsan.sh [build folder, default build/tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/tsan}

cmake -S . -B "$dir" -G Ninja -DTAVRIN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread"
cmake --build "$dir" -j "$(nproc)" --target tavrin_engine_tests tavrin_player_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/engine/tsan.supp" \
    "$dir/tests/tavrin_engine_tests" --gtest_filter='TaskThreadTest.*:ProgressTest.*'
# The player's threads. Left out: the tests that count on real-time decoding
# (a 96 kHz six-channel file, a clip against its sound) or drawing (the
# waveform's rate), which the sanitizer slows too much.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/player/tsan.supp" \
    "$dir/tests/tavrin_player_tests" \
    --gtest_filter='-PlayerTest.ManyChannels*:VideoPlaybackTest.AClipShowsItsFrames*:VideoPlaybackTest.ASoundFileDrawsAWaveform'
