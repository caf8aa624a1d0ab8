#!/usr/bin/env bash
# The Windows installer's choice of plug-ins, without building Plinka: an
# installer made from packaging/windows/plinka.nsi over a stage of stand-in
# files runs silently under wine, in a scratch copy of the project's wine
# prefix:
#  - with every plug-in: each file lands where the script puts it;
#  - again without the CLAP and VST3 plug-ins (/NOCLAP /NOVST3): the copies
#    the first run put in are gone, the VST 2 plug-in and the tools stay;
#  - again without the VST 2 plug-in (/NOVST2): it is gone too, and the
#    publisher Windows shows is the name in packaging/MAINTAINER;
#  - the uninstaller then leaves Program Files as it was before.
# test-packages.sh checks the real installer's files; this checks what a
# reinstall takes out, in a minute rather than a release build.
#   tests/packages/test-installer-components.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "${BASH_SOURCE[0]}" "$@"
fi
work=$(mktemp -d /tmp/plinka-installer.XXXXXX)
scratch_prefix=$work/wine-prefix
cleanup() {
    [ -d "$scratch_prefix" ] && WINEPREFIX=$scratch_prefix wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "test-installer-components: $*" >&2
    exit 1
}
step() { echo "-- $*"; }

step "an installer over stand-in files"
stage=$work/stage
mkdir -p "$stage/docs/pictures" "$stage/Plinka.vst3/Contents/x86_64-win"
for file in plinka-render.exe plinka-bank.exe plinka-info.exe README.md LICENSE INSTALL.txt THIRD-PARTY.txt \
    docs/manual.md docs/pictures/a.png PLINKA.dll Plinka.clap Plinka.vst3/Contents/x86_64-win/Plinka.vst3; do
    echo "$file" >"$stage/$file"
done
setup=$work/setup.exe
makensis -V2 -DVERSION=0.0 -DSTAGE="$stage" -DOUTFILE="$setup" "$root/packaging/windows/plinka.nsi" >/dev/null ||
    fail "makensis fails on packaging/windows/plinka.nsi"

# A copy of the project's wine prefix, whole: what the installer changes
# stays in it.
"$root/scripts/setup-wine.sh"
source "$root/scripts/wine-env.sh"
cp -a "$WINEPREFIX" "$scratch_prefix"
export WINEPREFIX=$scratch_prefix
drive=$WINEPREFIX/drive_c
program_files() {
    (cd "$drive" && find "Program Files" "Program Files (x86)" | LC_ALL=C sort)
}
# Wine sometimes fails on its own: a run that fails is made again, twice at most.
install() {  # ARGUMENTS...
    local try
    for try in 1 2 3; do
        if timeout 300 "$root/scripts/wine-run.sh" "$setup" /S "$@" >"$work/setup.log" 2>&1; then
            wineserver -w
            return 0
        fi
        echo "   setup $* failed (try $try)" >&2
    done
    return 1
}
# Which of the installed files are there, one word each: tools, vst2, clap, vst3.
installed() {
    local found=()
    [ -f "$drive/Program Files/Plinka/plinka-render.exe" ] && found+=(tools)
    [ -f "$drive/Program Files/VSTPlugins/PLINKA.dll" ] && found+=(vst2)
    [ -f "$drive/Program Files/Common Files/CLAP/Plinka.clap" ] && found+=(clap)
    [ -f "$drive/Program Files/Common Files/VST3/Plinka.vst3/Contents/x86_64-win/Plinka.vst3" ] && found+=(vst3)
    echo "${found[*]}"
}
before=$(program_files)

step "every plug-in, then without CLAP and VST3, then without VST 2"
for run in ":tools vst2 clap vst3" "/NOCLAP /NOVST3:tools vst2" "/NOVST2 /NOCLAP /NOVST3:tools"; do
    options=${run%%:*}
    expected=${run#*:}
    # shellcheck disable=SC2086 # the options are words
    install $options || fail "the installer fails with '$options'"
    [ "$(installed)" = "$expected" ] || fail "after setup /S $options: $(installed), expected: $expected"
done
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Plinka'
publisher=$(sed 's/ <.*//' "$root/packaging/MAINTAINER")
/usr/lib/wine/wine64 reg query "$uninstall_key" /v Publisher 2>/dev/null | tr -d '\r' |
    grep -q "Publisher *REG_SZ *$publisher\$" || fail "the installer registers another publisher than $publisher"
[ ! -e "$drive/Program Files/Common Files/VST3/Plinka.vst3" ] || fail "an empty Plinka.vst3 folder is left behind"

step "the uninstaller leaves Program Files as it was"
timeout 300 "$root/scripts/wine-run.sh" "$drive/Program Files/Plinka/uninstall.exe" /S >"$work/uninstall.log" 2>&1 ||
    fail "the uninstaller fails"
wineserver -w
after=$(program_files)
[ "$after" = "$before" ] || fail "after uninstalling, Program Files differs:"$'\n'"$(diff <(echo "$before") <(echo "$after") || true)"

echo "== a reinstall takes out the plug-ins it no longer installs"
