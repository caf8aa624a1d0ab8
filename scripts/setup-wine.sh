#!/usr/bin/env bash
# Prepares wine to run the Windows test programs headless: makes 32-bit code
# runnable and creates the project's wine prefix (build/wine-prefix) once.
# Idempotent. Needs root for the binfmt registration on machines that need it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Some virtual machines cannot execute 32-bit code at all (their kernels
# refuse 32-bit ELF programs, and wine32 is one). There, qemu's user-mode
# emulator runs 32-bit programs through binfmt_misc: much slower, but exact.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    if ! [ -x /usr/bin/qemu-i386-static ]; then
        "$root/scripts/install-deps.sh" qemu
    fi
    if ! [ -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if ! [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
            > /proc/sys/fs/binfmt_misc/register
    fi
    /lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "setup-wine: cannot run 32-bit programs" >&2; exit 1; }
fi

source "$root/scripts/wine-env.sh"

# The prefix's 32-bit half is installed by a 32-bit program during wineboot;
# a prefix without it (made before 32-bit code could run) is updated.
wow64_kernel32=$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll
if ! [ -f "$WINEPREFIX/system.reg" ] || ! [ -f "$wow64_kernel32" ]; then
    echo "setup-wine: preparing the wine prefix $WINEPREFIX (takes a few minutes the first time)"
    mkdir -p "$(dirname "$WINEPREFIX")"
    # An existing prefix is updated in place, which wine does only when its
    # update timestamp disagrees with the installed wine.
    boot=-i
    if [ -f "$WINEPREFIX/system.reg" ]; then boot=-u; rm -f "$WINEPREFIX/.update-timestamp"; fi
    /usr/lib/wine/wine64 wineboot $boot >/dev/null 2>&1
    # Without a window manager, unmanaged windows open and close at once.
    /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
    [ -f "$wow64_kernel32" ] || { echo "setup-wine: the prefix has no 32-bit half; 32-bit wine cannot start" >&2; exit 1; }
fi
