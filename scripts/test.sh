#!/usr/bin/env bash
# Installs what the tests need, builds all three targets and runs every test:
# natively for Linux, under wine for both Windows DLLs. Idempotent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$(date +%s)

scripts/install-deps.sh all
scripts/setup-wine.sh

# linux, win32 and win64 are the products; asan (AddressSanitizer with
# UndefinedBehaviorSanitizer) and tsan (ThreadSanitizer) run the native suite
# again to catch memory errors, undefined behaviour and data races.
for preset in linux win32 win64 asan tsan; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

for preset in linux win64 win32 asan tsan; do
    echo "== test $preset"
    ctest --preset "$preset" -j2
done

scripts/fuzz.sh 60

echo "== all tests passed in $(( $(date +%s) - started )) s"
