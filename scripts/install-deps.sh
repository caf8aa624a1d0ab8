#!/usr/bin/env bash
# Installs what building and testing Plinka needs on Debian 12. Idempotent:
# packages already present are skipped, so a second run does nothing.
#   scripts/install-deps.sh native   compiler, CMake, GoogleTest, Benchmark, the X11 and cairo
#                                    headers of the Linux editor (XTest for its test), the CLAP and VST3 C headers,
#                                    the LV2 headers, lilv for the tools' LV2 host, and LV2's checkers
#                                    (lv2_validate with sord_validate, lv2ls, lv2info) that the quick tier runs
#   scripts/install-deps.sh all      plus what the tests need: mingw-w64 and wine for the
#                                    Windows DLLs, a virtual X display for the editor,
#                                    a third-party VST 2 instrument for plinka-render, and
#                                    the hosts Plinka is tested in: Ardour, and LMMS with
#                                    its 32-bit VST host
#   scripts/install-deps.sh package  what scripts/package.sh needs besides "native": the
#                                    mingw-w64 compilers, zip, the Debian package tools with
#                                    lintian, and NSIS for the Windows installer ("all" has
#                                    them too, with lv2ls and unzip for the packages' tests)
#   scripts/install-deps.sh docs     gnuplot, for scripts/make-manual-pictures.py
#   scripts/install-deps.sh qemu     qemu's user-mode emulator, where 32-bit code cannot run
set -euo pipefail

want=${1:-all}

native_pkgs=(g++ cmake ninja-build ccache pkg-config googletest libgtest-dev libgmock-dev libsndfile1-dev
             libbenchmark-dev clang-14 libclang-rt-14-dev libx11-dev libcairo2-dev libxtst-dev dpf-source
             lv2-dev liblilv-dev sordi lilv-utils)
mingw_pkgs=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64)
test_pkgs=("${mingw_pkgs[@]}" wine wine64 wine32:i386 xvfb xauth imagemagick
           dpf-plugins-vst ardour lmms:i386 lmms-vst-server:i386 xdotool xclip valgrind)
package_pkgs=(zip dpkg-dev lintian nsis)
package_test_pkgs=(unzip lilv-utils)
docs_pkgs=(gnuplot-nox)
qemu_pkgs=(qemu-user-static)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# The package archive is sometimes briefly inconsistent (a mirror mid-sync
# serves an index of the wrong size). One index that fails to download must
# not end the install: the update is tried a few times, then the install
# itself decides with whatever indexes it has. The suites whose indexes
# failed are remembered, one per line, in $failed_suites.
failed_suites=$(mktemp)
trap 'rm -f "$failed_suites"' EXIT
update_indexes() {
    local try log
    for try in 1 2 3; do
        log=$(LC_ALL=C as_root apt-get update -qq 2>&1) && { : >"$failed_suites"; return 0; }
        [ "$try" -lt 3 ] && sleep $(( try * ${PLINKA_APT_RETRY_PAUSE:-10} ))
    done
    printf '%s\n' "$log" | grep '^E: Failed to fetch' | sed -n 's|.*/dists/\([^/]*\)/.*|\1|p' | sort -u >"$failed_suites"
    echo "install-deps: some package indexes did not update ($(paste -sd' ' "$failed_suites")); going on with the others" >&2
}

apt_install() { DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }

# Installs the packages given. When a suite's index is missing for one
# architecture only (its i386 half, say), the other architecture's newer
# versions from that suite cannot pair with the i386 libraries of the same
# name: that suite is then pinned below the others for this install, so both
# halves come from the indexes that are whole. When that fails too, each
# package that cannot be installed is named in one line with the package
# tool's reason, and the script exits non-zero.
install_packages() {
    local first_errors=/dev/stderr
    [ -s "$failed_suites" ] && first_errors=/dev/null  # a pinned try follows
    apt_install "$@" 2>"$first_errors" && return 0
    if [ -s "$failed_suites" ]; then
        local pin=${PLINKA_APT_PREFERENCES:-/etc/apt/preferences.d}/plinka-install-deps suite ok=1
        for suite in $(cat "$failed_suites"); do
            printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite"
        done | as_root tee "$pin" >/dev/null
        apt_install "$@" || ok=0
        as_root rm -f "$pin"
        [ "$ok" = 1 ] && return 0
    fi
    local p reason named=0
    for p in "$@"; do
        reason=$(LC_ALL=C apt-get install -s --no-install-recommends "$p" 2>&1 >/dev/null | grep -m1 '^E:' || true)
        if [ -n "$reason" ]; then
            echo "install-deps: cannot install $p: ${reason#E: }" >&2
            named=1
        fi
    done
    [ "$named" = 1 ] || echo "install-deps: cannot install $*: the package tool failed (see its messages above)" >&2
    exit 1
}

missing=()
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

case "$want" in
    native) pkgs=("${native_pkgs[@]}") ;;
    all) pkgs=("${native_pkgs[@]}" "${test_pkgs[@]}" "${package_pkgs[@]}" "${package_test_pkgs[@]}") ;;
    package) pkgs=("${mingw_pkgs[@]}" "${package_pkgs[@]}") ;;
    docs) pkgs=("${docs_pkgs[@]}") ;;
    qemu) pkgs=("${qemu_pkgs[@]}") ;;
    *) echo "usage: scripts/install-deps.sh [native|all|package|docs|qemu]" >&2; exit 2 ;;
esac
for p in "${pkgs[@]}"; do is_installed "$p" || missing+=("$p"); done

if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    if [ "$want" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    update_indexes
    install_packages "${missing[@]}"
fi
