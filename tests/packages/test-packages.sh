#!/usr/bin/env bash
# Checks the packages scripts/package.sh wrote to dist/, as their users meet
# them:
#  - each package holds exactly the files README.md lists for it ("What each
#    package holds"), and the pictures the manual shows; SHA256SUMS matches;
#  - the Debian package passes lintian, installs into a scratch root (dpkg
#    --root) and leaves it empty when purged; Ardour, lv2ls and plinka-render
#    find the plug-ins installed there, and every format renders what the
#    archive's VST 2 build renders;
#  - the Windows tools of both zips run under wine and write what the Linux
#    ones write;
#  - the installer runs silently under wine, in a copy of the project's wine
#    prefix, puts each file where README.md says and registers its
#    uninstaller; run again without the CLAP and VST3 plug-ins, it takes them
#    out; the uninstaller's silent run leaves Program Files as it was.
# scripts/test.sh runs it after scripts/package.sh.
#   tests/packages/test-packages.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
here=$root/tests/packages
# One virtual display for every wine process: the uninstaller goes on in a
# copy of itself after the process started for it has ended.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "${BASH_SOURCE[0]}" "$@"
fi
dist=$root/dist
readme=$root/README.md
# package.sh's build of the commit it packaged.
build=$root/build/package/src/build
work=$(mktemp -d /tmp/plinka-packages.XXXXXX)
scratch_prefix=$work/wine-prefix
cleanup() {
    [ -d "$scratch_prefix" ] && WINEPREFIX=$scratch_prefix wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "test-packages: $*" >&2
    exit 1
}
step() { echo "-- $*"; }

# Wine and Ardour sometimes crash or hang on their own, whatever they run: a
# try that fails so is made again, up to three times, each try's output kept
# in build/package/host-logs/NAME-TRY.log. What a run produced is judged
# afterwards, once.
logs=$root/build/package/host-logs
rm -rf "$logs"
mkdir -p "$logs"
host_run() {  # NAME COMMAND...
    local name=$1 try
    shift
    for try in 1 2 3; do
        if timeout 300 "$@" >"$logs/$name-$try.log" 2>&1; then
            cp "$logs/$name-$try.log" "$logs/$name.log"
            return 0
        fi
        echo "   $name failed (try $try; $logs/$name-$try.log)" >&2
    done
    return 1
}

# The LV2 bundle is promised everywhere, but only a build with the LV2
# adapter makes one: until every build has it, what needs it is checked
# only where package.sh's build made it. Once the adapter is merged, this
# answers yes always.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/linux/CMakeCache.txt" 2>/dev/null || true)
[ -n "$version" ] || fail "no packaged build in $build: run scripts/package.sh first"
tarball=plinka-$version-linux-x86_64.tar.gz
zip64=plinka-$version-windows-x64.zip
zip32=plinka-$version-windows-x86.zip
deb=plinka_$version-1_amd64.deb
setup=plinka-$version-windows-x64-setup.exe

step "dist/ holds the five packages of Plinka $version and their checksums"
expected=$(printf '%s\n' SHA256SUMS "$tarball" "$zip64" "$zip32" "$deb" "$setup" | LC_ALL=C sort)
actual=$(cd "$dist" && ls -A | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "dist/ holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the packages"

# The files README.md promises for a package (named there with VERSION), one
# pattern a line, '/' between folders. A line ending in '/' names the folder
# of the indented lines after it.
promised() {
    awk -v marker="<!-- package: $1 -->" '
        $0 == marker { state = 1; next }
        state == 1 && /^```/ { state = 2; next }
        state == 2 && /^```/ { exit }
        state == 2 { print }' "$readme" |
        sed "s/VERSION/$version/g; s|\\\\|/|g" |
        awk '/^ / { sub(/^ +/, ""); print folder $0; next }
             /\/$/ { folder = $0; next }
             { folder = ""; print }'
}

# Compares a package's files (one a line, on standard input) with what
# README.md promises for it: every file is promised, and every promise is kept.
expect_listing() {  # README-NAME
    local files patterns file pattern matched problems=""
    files=$(cat)
    patterns=$(promised "$1")
    [ -n "$patterns" ] || fail "README.md lists nothing for $1"
    while IFS= read -r file; do
        matched=no
        while IFS= read -r pattern; do
            # shellcheck disable=SC2053  # the pattern is a glob
            [[ $file == $pattern ]] && { matched=yes; break; }
        done <<<"$patterns"
        [ "$matched" = yes ] || problems+=$'\n'"  not in README.md: $file"
    done <<<"$files"
    while IFS= read -r pattern; do
        matched=no
        while IFS= read -r file; do
            # shellcheck disable=SC2053
            [[ $file == $pattern ]] && { matched=yes; break; }
        done <<<"$files"
        if [ "$matched" = no ]; then
            problems+=$'\n'"  missing: $pattern"
        fi
    done <<<"$patterns"
    [ -z "$problems" ] || fail "$1 does not hold what README.md lists:$problems"
    # Every picture the manual shows is there.
    local picture
    for picture in $(sed -n 's/.*](pictures\/\([^)]*\)).*/\1/p' "$root/docs/manual.md"); do
        grep -q "pictures/$picture\$" <<<"$files" || fail "$1 lacks pictures/$picture, which the manual shows"
    done
}

step "each package holds what README.md lists"
tar -tzf "$dist/$tarball" | grep -v '/$' | expect_listing "plinka-VERSION-linux-x86_64.tar.gz"
unzip -Z1 "$dist/$zip64" | grep -v '/$' | expect_listing "plinka-VERSION-windows-x64.zip"
unzip -Z1 "$dist/$zip32" | grep -v '/$' | expect_listing "plinka-VERSION-windows-x86.zip"
dpkg-deb --fsys-tarfile "$dist/$deb" | tar -t | grep -v '/$' | sed 's|^\.||' | expect_listing "plinka_VERSION-1_amd64.deb"

# A short phrase: three notes, the last after a program change.
printf 'MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x20' >"$work/phrase.mid"
printf '\0\x90\x3c\x64\x60\x80\x3c\0\0\x90\x40\x64\x60\x80\x40\0\0\xc0\5\0\x90\x43\x64\x81\x40\x80\x43\0\0\xff\x2f\0' \
    >>"$work/phrase.mid"

step "the Linux archive's tools render through the VST 2 build beside them"
tar -xzf "$dist/$tarball" -C "$work"
unpacked=$work/plinka-$version-linux-x86_64
(cd "$work" && "$unpacked/plinka-render" phrase.mid -o phrase.wav --quiet && "$unpacked/plinka-render" -o demo.wav --quiet &&
    "$unpacked/plinka-bank" default -o bank.txt) || fail "the Linux archive's tools failed"
"$unpacked/plinka-render" --version | grep -qx "plinka-render $version" || fail "plinka-render --version is not $version"

step "the Debian package passes lintian"
lintian --fail-on error,warning "$dist/$deb" || fail "lintian finds errors or warnings in $deb"

step "the Debian package names its maintainer as packaging/MAINTAINER does"
maintainer=$(<"$root/packaging/MAINTAINER")
[ "$(dpkg-deb -f "$dist/$deb" Maintainer)" = "$maintainer" ] || fail "$deb names another maintainer than $maintainer"
# Each file is read whole before it is searched: grep -q stops reading at the
# first match, and with pipefail the writer's broken pipe would fail the step
# though the line is there.
copyright=$(dpkg-deb --fsys-tarfile "$dist/$deb" | tar -xOf - ./usr/share/doc/plinka/copyright) ||
    fail "cannot read the copyright file of $deb"
grep -qx "Upstream-Contact: $maintainer" <<<"$copyright" ||
    fail "the copyright file names another contact than $maintainer: $(grep '^Upstream-Contact' <<<"$copyright")"
changelog=$(dpkg-deb --fsys-tarfile "$dist/$deb" | tar -xOf - ./usr/share/doc/plinka/changelog.Debian.gz | gzip -dc) ||
    fail "cannot read the changelog of $deb"
grep -q "^ -- $maintainer  " <<<"$changelog" ||
    fail "the changelog is signed by another than $maintainer: $(grep '^ -- ' <<<"$changelog")"

step "the Debian package installs into a scratch root"
target=$work/root
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates"
touch "$target/var/lib/dpkg/status"
# The scratch root has no libraries: the machine's own satisfy the Depends.
dpkg --root="$target" --log=/dev/null --force-depends -i "$dist/$deb" >/dev/null 2>&1 ||
    fail "dpkg cannot install $deb into a scratch root"

step "plinka-render from the package finds the installed plug-ins"
usr=$target/usr
(cd "$work" && "$usr/bin/plinka-render" -o demo-deb.wav --quiet) || fail "the installed plinka-render failed"
cmp -s "$work/demo.wav" "$work/demo-deb.wav" || fail "the installed plinka-render renders the demo differently"
[ "$("$usr/bin/plinka-info" | head -n1)" = "$usr/lib/vst/PLINKA.so" ] || fail "plinka-info does not find the installed PLINKA.so"
plugins=("$usr/lib/vst/PLINKA.so" "$usr/lib/clap/Plinka.clap" "$usr/lib/vst3/Plinka.vst3")
plugins+=("$usr/lib/lv2/Plinka.lv2")
for plugin in "${plugins[@]}"; do
    (cd "$work" && "$usr/bin/plinka-render" phrase.mid --plugin "$plugin" -o phrase-installed.wav --quiet) ||
        fail "the installed plinka-render cannot play $plugin"
    cmp -s "$work/phrase.wav" "$work/phrase-installed.wav" || fail "$plugin plays the phrase differently"
done

step "lv2ls finds the installed LV2 bundle"
LV2_PATH=$usr/lib/lv2 lv2ls -n | grep -qx Plinka || fail "lv2ls does not find Plinka in $usr/lib/lv2"

step "Ardour's scan finds the installed plug-ins"
ardour=$work/ardour
mkdir -p "$ardour/config" "$ardour/cache" "$ardour/data"
export XDG_CONFIG_HOME=$ardour/config XDG_CACHE_HOME=$ardour/cache XDG_DATA_HOME=$ardour/data
export LXVST_PATH=$usr/lib/vst VST_PATH=$usr/lib/vst VST3_PATH=$usr/lib/vst3 LV2_PATH=$usr/lib/lv2
LD_LIBRARY_PATH=/usr/lib/ardour7 /usr/lib/ardour7/ardour-vst-scanner -q -f "$usr/lib/vst/PLINKA.so" ||
    fail "Ardour's VST 2 scanner rejects the installed PLINKA.so"
LD_LIBRARY_PATH=/usr/lib/ardour7 /usr/lib/ardour7/ardour-vst3-scanner -q -f "$usr/lib/vst3/Plinka.vst3" ||
    fail "Ardour's VST3 scanner rejects the installed Plinka.vst3"
host_run ardour-scan bash -c 'rm -rf "$1" && SESSION_DIR=$1 exec ardour7-lua "$2"' scan "$ardour/session" \
    "$here/ardour-find-plinka.lua" || fail "ardour7-lua fails"
found=$(grep -E '^(LXVST|VST3|LV2) ' "$logs/ardour-scan.log" || true)
grep -qx "LXVST found $usr/lib/vst/PLINKA.so" <<<"$found" || fail "Ardour does not find the VST 2 build: $found"
grep -q "^VST3 found $usr/lib/vst3/Plinka.vst3/" <<<"$found" || fail "Ardour does not find the VST3 build: $found"
grep -q "^LV2 found " <<<"$found" || fail "Ardour does not find the LV2 build: $found"
unset XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME LXVST_PATH VST_PATH VST3_PATH LV2_PATH

step "purging the Debian package leaves the scratch root empty"
dpkg --root="$target" --log=/dev/null -P plinka >/dev/null 2>&1 || fail "dpkg cannot remove plinka from the scratch root"
left=$(cd "$target" && find . -mindepth 1 -path ./var -prune -o -print)
[ -z "$left" ] || fail "purging plinka leaves:"$'\n'"$left"

# A copy of the project's wine prefix: what the installer changes there
# stays there. The system folders, more than a gigabyte that nothing here
# writes to, are linked rather than copied.
"$root/scripts/setup-wine.sh"
source "$root/scripts/wine-env.sh"
mkdir -p "$scratch_prefix/drive_c/windows"
tar -C "$WINEPREFIX" --exclude=./drive_c/windows -cf - . | tar -C "$scratch_prefix" -xf -
for folder in "$WINEPREFIX/drive_c/windows"/*; do
    case $(basename "$folder") in
    system32 | syswow64 | winsxs) cp -al "$folder" "$scratch_prefix/drive_c/windows/" ;;
    *) cp -a "$folder" "$scratch_prefix/drive_c/windows/" ;;
    esac
done
export WINEPREFIX=$scratch_prefix
wine_run() {  # NAME PROGRAM ARGUMENTS...
    local name=$1
    shift
    host_run "$name" "$root/scripts/wine-run.sh" "$@"
}

for zip in "$zip64" "$zip32"; do
    step "the Windows tools of $zip write what the Linux ones write"
    unzip -q "$dist/$zip" -d "$work"
    tools=$work/${zip%.zip}
    (cd "$work" && wine_run "render-${zip%.zip}" "$tools/plinka-render.exe" phrase.mid -o phrase-win.wav --quiet &&
        wine_run "bank-${zip%.zip}" "$tools/plinka-bank.exe" default -o bank-win.txt) ||
        fail "the tools of $zip fail under wine"
    cmp -s "$work/phrase.wav" "$work/phrase-win.wav" || fail "plinka-render.exe of $zip renders the phrase differently"
    cmp -s "$work/bank.txt" "$work/bank-win.txt" || fail "plinka-bank.exe of $zip writes another default bank"
done

step "the installer puts each file where README.md says"
program_files() {
    (cd "$WINEPREFIX/drive_c" && find "Program Files" "Program Files (x86)" | LC_ALL=C sort)
}
before=$(program_files)
wine_run setup "$dist/$setup" /S || fail "the installer fails"
wineserver -w
after=$(program_files)
comm -13 <(echo "$before") <(echo "$after") | while IFS= read -r path; do
    if [ -f "$WINEPREFIX/drive_c/$path" ]; then echo "C:/$path"; fi
done | expect_listing "plinka-VERSION-windows-x64-setup.exe"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Plinka'
registered=$(/usr/lib/wine/wine64 reg query "$uninstall_key" 2>/dev/null | tr -d '\r')
grep -q 'QuietUninstallString *REG_SZ *"C:\\Program Files\\Plinka\\uninstall.exe" /S$' <<<"$registered" ||
    fail "the installer registers no silent uninstaller: $registered"
grep -q "DisplayVersion *REG_SZ *$version\$" <<<"$registered" || fail "the installer registers another version: $registered"

step "the installed plinka-render plays the installed CLAP build"
(cd "$work" && wine_run render-installed "$WINEPREFIX/drive_c/Program Files/Plinka/plinka-render.exe" phrase.mid \
    -o phrase-setup.wav --quiet) ||
    fail "the installed plinka-render.exe fails"
cmp -s "$work/phrase.wav" "$work/phrase-setup.wav" || fail "the installed plinka-render.exe renders the phrase differently"

step "a reinstall without the CLAP and VST3 plug-ins takes them out"
wine_run setup-fewer "$dist/$setup" /S /NOCLAP /NOVST3 || fail "the installer fails with /NOCLAP /NOVST3"
wineserver -w
[ ! -e "$WINEPREFIX/drive_c/Program Files/Common Files/CLAP/Plinka.clap" ] || fail "a reinstall without CLAP leaves Plinka.clap"
[ ! -e "$WINEPREFIX/drive_c/Program Files/Common Files/VST3/Plinka.vst3" ] || fail "a reinstall without VST3 leaves Plinka.vst3"
[ -f "$WINEPREFIX/drive_c/Program Files/VSTPlugins/PLINKA.dll" ] || fail "a reinstall without CLAP and VST3 takes out PLINKA.dll"

step "the uninstaller leaves Program Files as it was"
wine_run uninstall "$WINEPREFIX/drive_c/Program Files/Plinka/uninstall.exe" /S || fail "the uninstaller fails"
wineserver -w
after=$(program_files)
[ "$after" = "$before" ] || fail "after uninstalling, Program Files differs:"$'\n'"$(diff <(echo "$before") <(echo "$after") || true)"
! /usr/lib/wine/wine64 reg query "$uninstall_key" >/dev/null 2>&1 || fail "the uninstaller leaves its registry key"

echo "== the packages hold what README.md lists, install, play and uninstall"
