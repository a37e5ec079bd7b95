#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a normal
# build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)

run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DTAVRIN_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== normal build =="
run_suite build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_SANITIZE=ON
