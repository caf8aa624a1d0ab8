#!/usr/bin/env bash
# Runs a Windows program under wine, headless, in the project's own prefix
# (build/wine-prefix): CTest uses it as the emulator of the win32 and win64 builds.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Every wine process gets a display, a virtual one when there is none: the
# first process of a prefix starts its desktop, and a desktop started without
# a display would leave every later window of the prefix without one.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "${BASH_SOURCE[0]}" "$@"
fi

exe=$1
shift
# The COFF machine field says which loader the program needs: 0x8664 is x86-64.
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
if [ "$machine" = 8664 ]; then
    exec /usr/lib/wine/wine64 "$exe" "$@"
fi
# Where 32-bit code runs only under qemu's emulation, wine crashes on
# contended threads (a plain program with three threads and a mutex does);
# tests that need them look at this variable.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 || [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    export PLINKA_EMULATED_32BIT=1
    # Left to pick guest addresses from the host's mmap, qemu can hand wine a
    # layout where its shared user data page (0x7ffe0000) is taken, and wine
    # dies at start ("failed to map the shared user data"). Reserving the
    # guest address space up front, as a 32-bit kernel lays it out, makes the
    # layout the same on every machine.
    export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xc0000000}
fi
exec wine "$exe" "$@"
