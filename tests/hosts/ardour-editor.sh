#!/usr/bin/env bash
# Opens Plinka's editor in Ardour's GUI on a virtual display: builds the
# render test's session, marks the plug-in's window as open in it (Ardour
# reopens such windows with the session), starts Ardour, and with xdotool
# clicks "Triangle" and "PAL" in the editor and types an Arp envelope. Ardour
# then saves the session, and the chunk it saved must hold the edits: in the
# session file for the VST 2 build, in the state Ardour keeps beside it for
# the LV2 build (FORMAT lv2, with the Plinka.lv2 bundle).
# Leaves the screenshot ardour-editor.png (ardour-editor-lv2.png) in
# SHOT_DIR. Exits with 2 when Ardour made no session or never showed the
# editor (Ardour's own failures, worth a retry), with 1 when the edits are wrong.
#   tests/hosts/ardour-editor.sh PLINKA.so|Plinka.lv2 WORK_DIR SHOT_DIR [vst2|lv2]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
plugin=$1
work=$2
shots=$3
format=${4:-vst2}
shot=ardour-editor.png
type=lxvst
if [ "$format" = lv2 ]; then
    shot=ardour-editor-lv2.png
    type=lv2
fi

rm -rf "$work"
mkdir -p "$work/plugins" "$work/config/ardour7/scripts" "$work/cache" "$work/data" "$shots"
cp -r "$plugin" "$work/plugins/"
find "$work/plugins" -exec touch -d "@$(( $(date +%s) - 60 ))" {} +
cp "$here/plinka_phrase.lua" "$work/config/ardour7/scripts/"
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
export LXVST_PATH=$work/plugins VST_PATH=$work/plugins PLINKA_FORMAT=$format
if [ "$format" = lv2 ]; then
    export LV2_PATH=$work/plugins
else
    LD_LIBRARY_PATH=/usr/lib/ardour7 /usr/lib/ardour7/ardour-vst-scanner -q -f "$work/plugins/$(basename "$plugin")"
fi
# Ardour's headless tool sometimes dies on its own while it sets the session
# up (its dummy engine fails to register a track's port and the tool throws):
# that is Ardour's failure, to be tried again like a window that never shows.
if ! SESSION_DIR=$work/session timeout 300 ardour7-lua "$here/ardour-session.lua" >"$work/session.log" 2>&1 ||
    ! grep -q "session ready" "$work/session.log"; then
    echo "ardour-editor: Ardour's Lua tool made no session" >&2
    tail -5 "$work/session.log" >&2
    exit 2
fi

# No first-run wizard, and the dummy audio engine started without asking.
touch "$work/config/ardour7/.a7"
cat >"$work/config/ardour7/config" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<Ardour>
  <Config>
    <Option name="hide-dummy-backend" value="0"/>
  </Config>
  <Extra>
    <AudioMIDISetup>
      <EngineStates>
        <State backend="None (Dummy)" driver="Normal Speed" device="Silence" input-device="" output-device="" sample-rate="44100" buffer-size="1024" n-periods="0" input-latency="0" output-latency="0" lm-input="" lm-output="" active="1" use-buffered-io="0" midi-option="1 in, 1 out, Silence" lru="1">
          <MIDIDevices/>
        </State>
      </EngineStates>
    </AudioMIDISetup>
  </Extra>
</Ardour>
EOF
# The plug-in's window, "P-<track>-<processor>", open when the session loads,
# clear of the menu bar.
session=$work/session/plinka.ardour
route=$(grep -o '<Route [^>]*name="Plinka"' "$session" | grep -o ' id="[0-9]*"' | head -1 | tr -dc 0-9)
processor=$(grep -o '<Processor id="[0-9]*" name="Plinka"[^>]*type="'$type'"' "$session" | head -1 | cut -d'"' -f2)
[ -n "$route" ] && [ -n "$processor" ] || { echo "ardour-editor: no Plinka in the session" >&2; exit 1; }
sed -i "s|</Session>|<Extra><UI><Window name=\"P-$route-$processor\" visible=\"1\" x-off=\"300\" y-off=\"300\" x-size=\"1261\" y-size=\"255\" custom-ui=\"1\"/></UI></Extra></Session>|" "$session"

# The GUI session on a display of its own: wait for the editor's window,
# click and type in it, save through the Session menu (keys go to the
# focused editor), quit. Coordinates are the editor's layout; the menu's
# are those of Ardour 7 on a 1600 x 1000 screen without a window manager.
cat >"$work/gui.sh" <<'EOF'
set -u
work=$1
ardour -n -a "$work/session/plinka.ardour" >"$work/ardour.log" 2>&1 &
ardour=$!
window=
for _ in $(seq 60); do
    window=$(xdotool search --name '^PLINKA$' 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.5
done
if [ -n "$window" ]; then
    sleep 3
    xdotool getwindowgeometry --shell "$window" >"$work/geometry"
    . "$work/geometry"
    xdotool mousemove $(( X + 175 )) $(( Y + 182 )) click 1
    sleep 0.5
    xdotool mousemove $(( X + 485 )) $(( Y + 182 )) click 1
    sleep 0.5
    xdotool mousemove $(( X + 300 )) $(( Y + 52 )) click 1
    xdotool key ctrl+a
    xdotool type --delay 50 "12 0 7"
    sleep 1
    import -window root "$work/ardour-editor.png"
    xdotool mousemove 29 11 click 1
    sleep 1
    xdotool mousemove 42 112 click 1
    sleep 3
    xdotool mousemove 29 11 click 1
    sleep 1
    xdotool mousemove 39 494 click 1
else
    import -window root "$work/no-editor.png"
fi
for _ in $(seq 30); do
    kill -0 $ardour 2>/dev/null || exit 0
    sleep 0.5
done
kill -9 $ardour 2>/dev/null
exit 0
EOF
timeout 300 xvfb-run -a -n $(( 100 + RANDOM % 800 )) -s "-screen 0 1600x1000x24 -noreset" bash "$work/gui.sh" "$work" >"$work/gui.log" 2>&1 || true

fail() { echo "ardour-editor: $2" >&2; tail -20 "$work/ardour.log" >&2 2>/dev/null || true; exit "$1"; }
[ -f "$work/ardour-editor.png" ] || fail 2 "the editor's window never appeared in Ardour"
cp "$work/ardour-editor.png" "$shots/$shot"
# The chunk Ardour saved, as the plug-in's cells: program 0's channel type,
# the standard, and its Arp text.
python3 - "$session" "$work/session/plugins/$processor" <<'EOF' || fail 1 "the chunk Ardour saved does not hold the edits"
import base64, re, struct, sys
text = open(sys.argv[1]).read()
found = re.search(r'<chunk program="0">([^<]*)</chunk>', text)
if found:
    chunk = base64.b64decode(found.group(1).strip())
else:
    # The LV2 build's: the bank property of the state the session names.
    folder = re.search(r'<lv2 [^>]*state-dir="([^"]*)"', text).group(1)
    state = open(sys.argv[2] + '/' + folder + '/state.ttl').read()
    chunk = base64.b64decode(re.search(r'plinka#bank>\s*"""([^"]*)"""', state).group(1))
cells = struct.unpack('<%df' % (len(chunk) // 4), chunk)
def string(i):
    out = ''
    while cells[i] != 0:
        out += chr(int(cells[i]) & 255)
        i += 1
    return out, i + 1
name, i = string(25)
_, i = string(i + 1)  # Volume
arp, _ = string(i + 1)
NTSC_TAG = 175532480.0  # tests/ChunkCells.h
ntsc = cells[len(cells) - cells[::-1].index(NTSC_TAG)]
print('channel type %d, ntsc %d, arp "%s"' % (cells[21], ntsc, arp))
sys.exit(0 if (cells[21], ntsc, arp) == (1, 0, '12 0 7') else 1)
EOF
