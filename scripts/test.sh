#!/usr/bin/env bash
# Installs what the tests need, builds all three targets and runs every test:
# natively for Linux, under wine for both Windows DLLs. Idempotent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$(date +%s)

scripts/install-deps.sh all
scripts/setup-wine.sh

for preset in linux win32 win64; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

for preset in linux win64 win32; do
    echo "== test $preset"
    ctest --preset "$preset" -j2
done

scripts/fuzz.sh 60

echo "== all tests passed in $(( $(date +%s) - started )) s"
