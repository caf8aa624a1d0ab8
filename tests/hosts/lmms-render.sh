#!/usr/bin/env bash
# Renders a project through LMMS hosting a Windows VST 2 plug-in, headless,
# as 32-bit float WAV at 44.1 kHz. LMMS runs the plug-in in its own wine
# process; it exits 0 and writes silence when the plug-in fails to load and
# hangs when it crashes, so the render is bounded in time and only the WAV
# tells whether it worked. WITHOUT_PIDFD, when set, is the without_pidfd
# helper that lets a 32-bit LMMS start its plug-in server under qemu.
#   tests/hosts/lmms-render.sh PROJECT.mmp WORK_DIR OUT.wav
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$1
work=$2
out=$3

rm -rf "$work/home"
mkdir -p "$work/home/Documents/lmms"
export HOME=$work/home
# The project's own prefix: LMMS and its plug-in server are 32-bit programs,
# and they need wine's environment as much as our test programs do.
source "$here/../../scripts/wine-env.sh"

# LMMS runs in a process namespace of its own: under emulation it has been
# seen to signal every process on the machine when its plug-in server fails.
# (A shell comes first, as the namespace's init ignores xvfb-run's signal.)
# Its exit status is not passed on: the WAV is the verdict, LMMS's log at
# WORK_DIR/lmms.log the explanation.
timeout 240 unshare --pid --fork --kill-child --mount-proc sh -c '
    xvfb-run -a -s "-screen 0 1024x768x24" ${WITHOUT_PIDFD:-} lmms --allowroot render "$1" -o "$2" -f wav -a
    wineserver -k 2>/dev/null' lmms-render "$project" "$out" >"$work/lmms.log" 2>&1 || true
