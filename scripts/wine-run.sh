#!/usr/bin/env bash
# Runs a Windows program under wine, headless, in the project's own prefix
# (build/wine-prefix): CTest uses it as the emulator of the win32 and win64 builds.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

exe=$1
shift
# The COFF machine field says which loader the program needs: 0x8664 is x86-64.
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
if [ "$machine" = 8664 ]; then
    exec /usr/lib/wine/wine64 "$exe" "$@"
fi
exec wine "$exe" "$@"
