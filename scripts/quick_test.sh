#!/usr/bin/env bash
# The inner loop: installs what is missing, builds the normal tree and runs
# its tests (in parallel). scripts/test.sh runs everything, sanitizers and
# fuzzing included; run it before a change lands.
# Usage: scripts/quick_test.sh [ctest options, e.g. -R MergeJob]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/build_support.sh
compiler_cache_start
normal_build
status=0
normal_tests "$@" || status=$?
compiler_cache_report
phase_summary
exit "$status"
