#!/usr/bin/env bash
# Runs the Linux editor's test program on a virtual X display of its own.
#   scripts/editor-x11-test.sh EDITOR_X11_TESTS [gtest options]
set -euo pipefail
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
