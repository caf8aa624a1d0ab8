# The environment every wine process of the project runs in; sourced by the
# scripts that start wine. WINEPREFIX defaults to the project's own prefix.
wine_env_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$wine_env_root/build/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Where 32-bit code runs only under qemu's emulation (binfmt_misc), three
# things differ. Wine crashes on contended threads (a plain program with
# three threads and a mutex does); tests that need them look at
# PLINKA_EMULATED_32BIT. Left to pick guest addresses from the host's mmap,
# qemu can hand wine a layout where its shared user data page (0x7ffe0000)
# is taken, and wine dies at start ("failed to map the shared user data"):
# reserving the guest address space up front makes the layout the same on
# every machine. And wine reserves everything above 2 GB 64 KB at a time,
# which qemu 7.2 answers ever more slowly: with 3 GB a start takes 40-60 s.
# A guest space of 2 GB and 16 MB passes wine's check for memory above 2 GB
# and starts it in 2-3 s.
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] || ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    export PLINKA_EMULATED_32BIT=1
    export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x81000000}
fi
