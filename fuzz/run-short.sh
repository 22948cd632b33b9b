#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each for a short, bounded time
# from its seed corpus. Any crash, leak or sanitizer report fails the run.
#   fuzz/run-short.sh [SECONDS_PER_TARGET] [TARGET...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"
seconds=${1:-${QM_FUZZ_SECONDS:-20}}
shift || true
tree="$QM_BUILD/fuzz"
# One build of the tree at a time (see qm_tree_lock in scripts/build.sh).
(
    mkdir -p "$QM_BUILD"
    exec 9>"$QM_BUILD/.fuzz.lock"
    flock 9
    if [ ! -f "$tree/CMakeCache.txt" ]; then
        CC=clang CXX=clang++ cmake -S "$QM_ROOT" -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DQM_FUZZ=ON -DQM_TESTS=OFF >/dev/null 9>&-
    fi
    cmake --build "$tree" --parallel "$(nproc)" -- --no-print-directory >/dev/null 9>&-
)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for t in "$tree"/fuzzers/fuzz_*; do targets+=("$(basename "$t")"); done
fi
failed=()
for t in "${targets[@]}"; do
    seeds="$QM_ROOT/fuzz/corpus/${t#fuzz_}"
    work="$tree/corpus/${t#fuzz_}"
    mkdir -p "$work" "$tree/artifacts"
    [ -d "$seeds" ] && cp -n "$seeds"/* "$work"/ 2>/dev/null || true
    printf '  %-24s ' "$t"
    if ASAN_OPTIONS=detect_leaks=1 "$tree/fuzzers/$t" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$tree/artifacts/$t-" \
        "$work" >"$tree/$t.log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$tree/$t.log" | tail -1 | tr -s ' \t' ' '
    else
        echo "FAILED (log: $tree/$t.log)"
        tail -30 "$tree/$t.log"
        failed+=("$t")
    fi
done
[ ${#failed[@]} -eq 0 ]
