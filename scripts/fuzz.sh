#!/usr/bin/env bash
# Runs every fuzz target for a fixed time from its committed seed corpus, with
# a fixed seed, two at a time (one a core). New inputs go to a scratch copy
# under build/, not the seeds.
#   scripts/fuzz.sh [SECONDS]     (default 60 per target)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
run() {
    local name=$1 work=build/fuzz-corpus/$1
    mkdir -p "$work"
    cp -n "fuzz/corpus/$name/"* "$work"/ 2>/dev/null || true
    build/fuzz/${name}_fuzz -seed=1 -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix=build/fuzz-"$name"- "$work" >"build/fuzz-$name.log" 2>&1
}
names=()
for seeds in fuzz/corpus/*/; do names+=("$(basename "$seeds")"); done
failed=0
for ((i = 0; i < ${#names[@]}; i += 2)); do
    pids=()
    for name in "${names[@]:i:2}"; do
        echo "== fuzz $name for $seconds s"
        run "$name" &
        pids+=($!)
    done
    for j in "${!pids[@]}"; do
        name=${names[i + j]}
        if ! wait "${pids[j]}"; then
            failed=1
            echo "== fuzz $name found a fault:" >&2
        fi
        tail -n 12 "build/fuzz-$name.log"
    done
done
exit $failed
