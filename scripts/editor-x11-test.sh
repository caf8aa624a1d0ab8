#!/usr/bin/env bash
# Runs the Linux editor's test program on a virtual X display of its own.
# The search for a free display starts at a random number: other test runs
# on the machine start theirs at the same time. Without -noreset the server
# would reset whenever the test's last connection closes, refusing the next.
#   scripts/editor-x11-test.sh EDITOR_X11_TESTS [gtest options]
set -euo pipefail
exec xvfb-run -a -n $(( 100 + RANDOM % 800 )) -s "-screen 0 1600x1024x24 -noreset" "$@"
