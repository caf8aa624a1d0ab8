#!/usr/bin/env bash
# Opens a project whose VeSTige track shows Plinka's editor in LMMS's GUI on a
# virtual display, clicks the editor's "Triangle" button with xdotool and
# saves screenshots of the screen before and after the click. Fails unless
# the editor window appears, sized by the editor's own rectangle, and the
# click moves the channel-type highlight from "Pulse" to "Triangle".
#   tests/hosts/lmms-editor.sh PROJECT.mmp WORK_DIR SHOT_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$1
work=$2
shots=$3

rm -rf "$work/home" "$work/before.png" "$work/after.png" "$work/client"
mkdir -p "$work/home/Documents/lmms" "$shots"
export HOME=$work/home
source "$here/../../scripts/wine-env.sh"
cat >"$HOME/.lmmsrc.xml" <<EOF
<?xml version="1.0"?>
<!DOCTYPE lmms-config-file>
<lmms version="1.2.2">
  <app configured="1" nomsgaftersetup="1" openlastproject="0" language="en"/>
  <mixer audiodev="Dummy (no sound output)" mididev="Dummy MIDI Driver (no MIDI support)" framesperaudiobuffer="256"/>
  <paths workingdir="$HOME/Documents/lmms/"/>
  <ui vstembedmethod="none" enableautosave="0"/>
</lmms>
EOF

# The session, inside a process namespace of its own (see lmms-render.sh):
# wait for the editor's window, shoot, click "Triangle" (x 145..205,
# y 170..194 in the editor), shoot again, then end everything.
cat >"$work/session.sh" <<'EOF'
set -u
work=$1
${WITHOUT_PIDFD:-} lmms --allowroot "$2" >"$work/lmms.log" 2>&1 &
window=
for _ in $(seq 120); do
    window=$(xdotool search --name '^Plinka$' 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.5
done
if [ -n "$window" ]; then
    sleep 3  # the editor's idle refresh fills its texts
    xdotool getwindowgeometry --shell "$window" >"$work/geometry"
    . "$work/geometry"
    # Around the 1261 x 255 editor, wine draws a frame: equal borders left,
    # right and bottom, and a caption above.
    border=$(( (WIDTH - 1261) / 2 ))
    caption=$(( HEIGHT - 255 - border ))
    echo "left=$(( X + border )) top=$(( Y + caption ))" >"$work/client"
    import -window root "$work/before.png"
    xdotool mousemove $(( X + border + 175 )) $(( Y + caption + 182 )) click 1
    sleep 3
    import -window root "$work/after.png"
fi
wineserver -k 2>/dev/null
kill -9 -1 2>/dev/null
exit 0
EOF
timeout 300 unshare --pid --fork --kill-child --mount-proc sh -c \
    'xvfb-run -a -s "-screen 0 1600x1024x24" bash "$1/session.sh" "$1" "$2"' lmms-editor "$work" "$project" \
    >"$work/session.log" 2>&1 || true

fail() { echo "lmms-editor: $*" >&2; cat "$work/lmms.log" >&2 2>/dev/null || true; exit 1; }
[ -f "$work/after.png" ] || fail "the editor's window never appeared in LMMS"
cp "$work/before.png" "$shots/lmms-editor-before.png"
cp "$work/after.png" "$shots/lmms-editor-after.png"
. "$work/client"
[ "$left" -ge 0 ] && [ "$top" -ge 0 ] || fail "the editor's window is smaller than the editor ($left, $top)"
# A point in each button above its label: the fill shows whether it is selected.
pixel() { convert "$1" -format "%[pixel:p{$(( left + $2 )),$(( top + 173 ))}]" info:; }
pulse_before=$(pixel "$work/before.png" 110)
triangle_before=$(pixel "$work/before.png" 175)
pulse_after=$(pixel "$work/after.png" 110)
triangle_after=$(pixel "$work/after.png" 175)
echo "Pulse $pulse_before -> $pulse_after, Triangle $triangle_before -> $triangle_after"
[ "$pulse_before" != "$triangle_before" ] || fail "Pulse and Triangle look alike before the click"
[ "$pulse_after" = "$triangle_before" ] && [ "$triangle_after" = "$pulse_before" ] ||
    fail "the click did not move the highlight from Pulse to Triangle"
