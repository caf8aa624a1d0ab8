#!/usr/bin/env bash
# Checks the LV2 bundle as LV2's own tools see it: lv2_validate (sord_validate
# against the installed LV2 vocabularies) finds no error in its Turtle; with
# LV2_PATH at the build folder (and the LV2 vocabularies, for the class
# names), lv2ls lists it and lv2info describes the instrument, its editor and
# its ports; and the binary links nothing but the C++ runtime, Xlib and cairo
# (and, in a sanitizer build, the sanitizer's runtime).
#   check-lv2-bundle.sh BUNDLE
set -euo pipefail
bundle=$1
uri=https://plinka.invalid/plinka
fail() { echo "check-lv2-bundle: $bundle: $*" >&2; exit 1; }
for tool in lv2_validate sord_validate lv2ls lv2info; do
    command -v $tool >/dev/null || fail "needs $tool (lv2-dev, sordi, lilv-utils: scripts/install-deps.sh installs them)"
done

lv2_validate "$bundle"/*.ttl || fail "lv2_validate found errors"

# lilv reports each file of the build folder that is no bundle on stderr.
path=$(cd "$(dirname "$bundle")" && pwd):/usr/lib/lv2
LV2_PATH=$path lv2ls 2>/dev/null | grep -qx "$uri" || fail "lv2ls does not list $uri"
info=$(LV2_PATH=$path lv2info "$uri" 2>/dev/null)
for line in "Name: *Plinka" "Class: *Instrument Plugin" "Binary: *file://.*/Plinka.lv2/Plinka.so" \
            "$uri#ui" "Class: *http://lv2plug.in/ns/extensions/ui#X11UI" \
            "Required Features: *http://lv2plug.in/ns/ext/urid#map" \
            "Extension Data: *http://lv2plug.in/ns/ext/state#interface" \
            "Symbol: *midi_in" "Symbol: *out_left" "Symbol: *out_right" "Symbol: *gain" "Symbol: *clock" \
            "Symbol: *polyphony" "Symbol: *notify"; do
    grep -q -- "$line" <<<"$info" || fail "lv2info does not show '$line'"
done
echo "lv2info: $(grep -c 'Port [0-9]*:' <<<"$info") ports"

for library in $(readelf -d "$bundle/Plinka.so" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    case $library in
    libX11.so.*|libcairo.so.*|libstdc++.so.*|libm.so.*|libgcc_s.so.*|libc.so.*) ;;
    libasan.so.*|libubsan.so.*|libtsan.so.*) ;;  # a sanitizer build's own runtime
    *) fail "links $library, beyond the C++ runtime, Xlib and cairo" ;;
    esac
done
