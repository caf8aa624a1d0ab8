#!/usr/bin/env bash
# Runs the editor test program under wine on a virtual X display and turns
# the screenshots it saves into PNG files in the build folder.
#   scripts/editor-test.sh EDITOR_TESTS_EXE BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe=$1
out=$2
dir=$(dirname "$exe")
rm -f "$dir"/editor-*.bmp
status=0
xvfb-run -a -s "-screen 0 1600x1024x24" "$root/scripts/wine-run.sh" "$exe" || status=$?
for shot in "$dir"/editor-*.bmp; do
    [ -e "$shot" ] || continue
    /usr/bin/convert "$shot" "$out/$(basename "${shot%.bmp}").png"
done
exit $status
