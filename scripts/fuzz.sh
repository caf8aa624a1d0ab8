#!/usr/bin/env bash
# Runs every fuzz target for a fixed time from its committed seed corpus, with
# a fixed seed. New inputs go to a scratch copy under build/, not the seeds.
#   scripts/fuzz.sh [SECONDS]     (default 60 per target)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for seeds in fuzz/corpus/*/; do
    name=$(basename "$seeds")
    work=build/fuzz-corpus/$name
    mkdir -p "$work"
    cp -n "$seeds"* "$work"/ 2>/dev/null || true
    echo "== fuzz $name for $seconds s"
    build/fuzz/${name}_fuzz -seed=1 -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix=build/fuzz-"$name"- "$work" 2>&1 | tail -n 12
done
