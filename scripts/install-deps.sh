#!/usr/bin/env bash
# Installs what building and testing Plinka needs on Debian 12. Idempotent:
# packages already present are skipped, so a second run does nothing.
#   scripts/install-deps.sh native   compiler, CMake, GoogleTest, Benchmark, the X11 and cairo
#                                    headers of the Linux editor (XTest for its test), the CLAP and VST3 C headers
#   scripts/install-deps.sh all      plus what the tests need: mingw-w64 and wine for the
#                                    Windows DLLs, a virtual X display for the editor,
#                                    a third-party VST 2 instrument for plinka-render, and
#                                    the hosts Plinka is tested in: Ardour, and LMMS with
#                                    its 32-bit VST host
#   scripts/install-deps.sh docs     gnuplot, for scripts/make-manual-pictures.py
set -euo pipefail

want=${1:-all}

native_pkgs=(g++ cmake ninja-build ccache pkg-config googletest libgtest-dev libgmock-dev libsndfile1-dev
             libbenchmark-dev clang-14 libclang-rt-14-dev libx11-dev libcairo2-dev libxtst-dev dpf-source)
test_pkgs=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
           binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb xauth imagemagick
           dpf-plugins-vst ardour lmms:i386 lmms-vst-server:i386 xdotool xclip valgrind)
docs_pkgs=(gnuplot-nox)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
is_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

pkgs=("${native_pkgs[@]}")
if [ "$want" = docs ]; then
    pkgs=("${docs_pkgs[@]}")
fi
if [ "$want" = all ]; then
    pkgs+=("${test_pkgs[@]}")
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        as_root apt-get update -qq
    fi
fi
for p in "${pkgs[@]}"; do is_installed "$p" || missing+=("$p"); done

if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    as_root apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
