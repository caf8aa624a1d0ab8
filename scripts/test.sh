#!/usr/bin/env bash
# Installs what the tests need, builds and runs them. Idempotent.
#   scripts/test.sh          everything: the Linux and both Windows builds (the
#                            DLLs under wine), the release packages, the hosts,
#                            the sanitizer builds and the fuzz targets; what CI runs
#   scripts/test.sh quick    the Linux build and its own tests, for working:
#                            no wine, no hosts
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$(date +%s)
tier=${1:-full}
# The compiler cache hits across clones of the project (CI builds a fresh one
# each time) when paths are taken relative to the source and debug builds do
# not hash the folder they run in.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true

# Each stage says how long it took, so a slow one shows where the time goes.
stage_start=$started
stage() {
    local now
    now=$(date +%s)
    echo "== $1 (previous stage took $(( now - stage_start )) s)"
    stage_start=$now
}

build() {
    stage "build $1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

if [ "$tier" = quick ]; then
    scripts/install-deps.sh native
    build linux
    echo "== test linux (quick)"
    ctest --preset linux -j2 -LE hosts
    echo "== quick tests passed in $(( $(date +%s) - started )) s"
    exit 0
elif [ "$tier" != full ]; then
    echo "usage: scripts/test.sh [quick]" >&2
    exit 2
fi

scripts/install-deps.sh all
scripts/setup-wine.sh

# linux, win32 and win64 are the products; asan (AddressSanitizer with
# UndefinedBehaviorSanitizer) runs the native suite again to catch memory
# errors and undefined behaviour, tsan (ThreadSanitizer) the tests where
# threads meet (its build preset makes only the three programs that hold them). win32 is built before the Linux host tests run: LMMS hosts it.
for preset in linux win32 win64 asan tsan; do
    build "$preset"
done

# The release packages, made from the commit as scripts/package.sh makes
# them, then installed and used as their users would.
stage "packages"
scripts/package.sh
tests/packages/test-packages.sh
tests/packages/test-installer-components.sh

stage "test linux"
ctest --preset linux -j2
stage "test win64"
ctest --preset win64 -j2
stage "test win32"
ctest --preset win32 -j2
stage "test asan"
ctest --preset asan -j2
stage "test tsan (threads)"
ctest --preset tsan -j2 -L threads

stage "fuzz"
scripts/fuzz.sh 30
stage "done"

echo "== all tests passed in $(( $(date +%s) - started )) s"
