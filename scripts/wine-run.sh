#!/usr/bin/env bash
# Runs a Windows program under wine, headless, in the project's own prefix
# (build/wine-prefix): CTest uses it as the emulator of the win32 and win64 builds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

# Every wine process gets a display, a virtual one when there is none: the
# first process of a prefix starts its desktop, and a desktop started without
# a display would leave every later window of the prefix without one.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1600x1024x24" "${BASH_SOURCE[0]}" "$@"
fi

exe=$1
shift
# The COFF machine field says which loader the program needs: 0x8664 is x86-64.
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
if [ "$machine" = 8664 ]; then
    unset PLINKA_EMULATED_32BIT  # 64-bit programs run natively
    exec /usr/lib/wine/wine64 "$exe" "$@"
fi
exec wine "$exe" "$@"
