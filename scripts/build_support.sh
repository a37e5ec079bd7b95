# Shared by scripts/test.sh and scripts/quick_test.sh: the build trees'
# configure-build-test step, the compiler cache's report and the phase clock.
# Source it from the repository root.

jobs=$(nproc)
declare -a phase_names=() phase_seconds=()
phase_started=0

# phase NAME: ends the running phase (recording its wall time) and starts NAME.
phase() {
    local now
    now=$(date +%s)
    if ((${#phase_names[@]})); then
        phase_seconds+=($((now - phase_started)))
    fi
    phase_names+=("$1")
    phase_started=$now
    echo "== $1 =="
}

# phase_summary: ends the running phase and prints every phase's wall time.
phase_summary() {
    local now i total=0
    now=$(date +%s)
    phase_seconds+=($((now - phase_started)))
    echo "== wall time per phase =="
    for i in "${!phase_names[@]}"; do
        printf '%6d s  %s\n' "${phase_seconds[$i]}" "${phase_names[$i]}"
        total=$((total + phase_seconds[i]))
    done
    printf '%6d s  total\n' "$total"
}

# Says whether builds go through the compiler cache, and zeroes its counters
# so that compiler_cache_report shows this run's hits alone.
compiler_cache_start() {
    local dir
    if ! command -v ccache >/dev/null; then
        echo "compiler cache: ccache is not installed; every file is compiled (slower)"
        return
    fi
    dir=$(ccache --get-config cache_dir 2>/dev/null || true)
    if [[ -z $dir ]] || ! mkdir -p "$dir" 2>/dev/null || [[ ! -w $dir ]] ||
        ! ccache --zero-stats >/dev/null 2>&1; then
        echo "compiler cache: ccache cannot use its cache folder ${dir:-(none)};" \
            "the build checks it and compiles without it (slower)"
    else
        echo "compiler cache: ccache $(ccache --version | head -n 1 | awk '{print $3}')," \
            "cache in $dir"
    fi
}

compiler_cache_report() {
    if command -v ccache >/dev/null && ccache --print-stats >/dev/null 2>&1; then
        ccache --print-stats | awk -F'\t' '
            $1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hits += $2 }
            $1 == "cache_miss" { misses = $2 }
            END { printf "compiler cache: %d hits, %d misses this run\n", hits, misses }'
    fi
}

# configure_and_build DIR CMAKE-OPTIONS...
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DTAVRIN_WERROR=ON "$@"
    cmake --build "$dir" -j "$jobs"
}

# The normal tree: built first, as the package check builds on it.
normal_build() {
    phase "normal build"
    configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

# normal_tests [CTEST-OPTIONS...]
normal_tests() {
    phase "normal tests"
    ctest --test-dir build/release --output-on-failure -j "$jobs" "$@"
}
