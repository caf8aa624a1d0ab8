#!/usr/bin/env bash
# Renders the test phrase through Ardour hosting the Linux plug-in, headless:
# scans the plug-in, builds a session with Ardour's Lua session tool (a Lua
# MIDI processor plays the phrase into Plinka), gives the session its range
# and exports it. FORMAT vst3 takes the VST3 bundle instead of PLINKA.so,
# lv2 the Plinka.lv2 bundle: then the bank Ardour saved with the session is
# left decoded in WORK_DIR/saved-bank.bin, and PLINKA_LV2_BANK, when set,
# names a chunk that replaces it in the session before the export, which
# Ardour then restores.
# EXPORT_WRAPPER, when set, runs the export under a checker (valgrind), and
# EXPORT_TIMEOUT bounds it (60 s; the export takes a few).
#   tests/hosts/ardour-render.sh PLINKA.so|Plinka.vst3|Plinka.lv2 WORK_DIR OUT.wav SECONDS [vst2|vst3|lv2]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
plugin=$1
work=$2
out=$3
seconds=$4
format=${5:-vst2}

rm -rf "$work"
mkdir -p "$work/plugins" "$work/config/ardour7/scripts" "$work/cache" "$work/data"
cp -r "$plugin" "$work/plugins/"
# Ardour trusts a scan only when its cache is newer than the plug-in's files.
find "$work/plugins" -exec touch -d "@$(( $(date +%s) - 60 ))" {} +
cp "$here/plinka_phrase.lua" "$work/config/ardour7/scripts/"
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
export LXVST_PATH=$work/plugins VST_PATH=$work/plugins VST3_PATH=$work/plugins PLINKA_FORMAT=$format
[ "$format" = lv2 ] && export LV2_PATH=$work/plugins

# Ardour finds LV2 plug-ins itself, through LV2_PATH; the others it scans.
scanner=ardour-vst-scanner
[ "$format" = vst3 ] && scanner=ardour-vst3-scanner
[ "$format" = lv2 ] || LD_LIBRARY_PATH=/usr/lib/ardour7 /usr/lib/ardour7/$scanner -q -f "$work/plugins/$(basename "$plugin")"
# Each step takes a few seconds; the bounds leave room for a busy machine.
SESSION_DIR=$work/session timeout 120 ardour7-lua "$here/ardour-session.lua" | grep -q "session ready"
{ grep -q '<Connection other="Master/audio_in 1"/>' "$work/session/plinka.ardour" &&
    grep -q '<Connection other="Master/audio_in 2"/>' "$work/session/plinka.ardour"; } ||
    { echo "ardour-render: the session's track is not connected to the master bus" >&2; exit 1; }

# The session has no range yet, and without one the export writes only a
# header. Ardour counts session time in superclock ticks, 282240000 a second.
end=$(( seconds * 282240000 ))
sed -i "s|<Locations/>|<Locations><Location id=\"999999\" name=\"session\" start=\"a0\" end=\"a$end\" flags=\"IsSessionRange\" locked=\"0\" timestamp=\"0\" cue=\"0\"/></Locations>|" \
    "$work/session/plinka.ardour"
grep -q IsSessionRange "$work/session/plinka.ardour"
# Ardour 7 counts a VST3 plug-in's programs only when it lists its presets,
# and without that count it drops every program change. Loading a session
# that names a last preset (one that need not exist) has it list them.
if [ "$format" = vst3 ]; then
    sed -i 's|<vst3 last-preset-uri=""|<vst3 last-preset-uri="VST3-P:none"|' "$work/session/plinka.ardour"
    grep -q 'last-preset-uri="VST3-P:none"' "$work/session/plinka.ardour"
fi
# Ardour keeps an LV2 plug-in's state beside the session, in Turtle: the
# bank is the base64 literal of Plinka's one property.
if [ "$format" = lv2 ]; then
    state=$(find "$work/session/plugins" -name state.ttl | head -1)
    [ -n "$state" ] || { echo "ardour-render: Ardour saved no LV2 state" >&2; exit 1; }
    python3 - "$state" "$work/saved-bank.bin" "${PLINKA_LV2_BANK:-}" <<'EOF'
import base64, re, sys
state, saved, replacement = sys.argv[1:4]
text = open(state).read()
bank = re.compile(r'(<https://plinka\.invalid/plinka#bank>\s*""")([^"]*)("""\^\^xsd:base64Binary)')
found = bank.search(text)
if not found:
    sys.exit("ardour-render: no bank in " + state)
open(saved, "wb").write(base64.b64decode(found.group(2)))
if replacement:
    encoded = base64.b64encode(open(replacement, "rb").read()).decode()
    open(state, "w").write(bank.sub(lambda m: m.group(1) + encoded + m.group(3), text))
EOF
fi
timeout "${EXPORT_TIMEOUT:-60}" ${EXPORT_WRAPPER:-} ardour7-export -b float -o "$out" "$work/session" plinka >/dev/null
