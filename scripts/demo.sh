#!/usr/bin/env bash
# The main job: installs what it needs, builds the Linux plug-in and its tools,
# and shows the instrument as a host sees it. Idempotent.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/install-deps.sh native
cmake --preset linux >/dev/null
cmake --build --preset linux
build/linux/plinka-info build/linux/PLINKA.so
