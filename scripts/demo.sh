#!/usr/bin/env bash
# The main job: installs what it needs, builds the Linux plug-in and its
# tools, and renders the demo tune through Plinka to plinka-demo.wav in this
# folder. Idempotent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/install-deps.sh native
cmake --preset linux >/dev/null
cmake --build --preset linux
build/linux/plinka-info build/linux/PLINKA.so | head -n 8
build/linux/plinka-render -o plinka-demo.wav
echo "demo: $root/plinka-demo.wav"
