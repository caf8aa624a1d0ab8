#!/usr/bin/env bash
# The dependency installer against a package tool that fails as a package
# archive caught mid-sync makes it fail: a fake apt-get, dpkg-query and sudo
# first on the PATH, the pin folder and the pauses made harmless.
set -euo pipefail
script=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/preferences"
export PATH="$work/bin:$PATH" PLINKA_APT_PREFERENCES="$work/preferences" PLINKA_APT_RETRY_PAUSE=0 FAKE="$work"

cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
# update: fails for one index while $FAKE/update-fails exists; install: works
# only with the pin in place ($FAKE/needs-pin) or never ($FAKE/broken).
echo "$*" >>"$FAKE/calls"
case " $* " in
*" update "*)
    if [ -e "$FAKE/update-fails" ]; then
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi ;;
*" -s "*)
    echo "E: Package '${*: -1}' has no installation candidate" >&2; exit 100 ;;
*" install "*)
    [ -e "$FAKE/broken" ] && { echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100; }
    if [ -e "$FAKE/needs-pin" ]; then
        grep -q 'Pin: release n=bookworm-security' "$FAKE/preferences/plinka-install-deps" 2>/dev/null || exit 100
        cp "$FAKE/preferences/plinka-install-deps" "$FAKE/pin-seen"
    fi ;;
esac
exit 0
FAKE
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"   # nothing is installed
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*

fail() { echo "FAIL: $*" >&2; exit 1; }
count() { grep -c -- "$1" "$work/calls" || true; }

# An index that never updates: the update is tried three times, the install
# goes on, and with the broken suite pinned down it succeeds; the pin goes.
touch "$work/update-fails" "$work/needs-pin"
bash "$script" docs >"$work/out" 2>"$work/err" || fail "the install ended: $(cat "$work/err")"
[ "$(count '^update')" = 3 ] || fail "updates tried: $(count '^update')"
[ "$(count 'install -y')" = 2 ] || fail "installs tried: $(count 'install -y')"
[ -e "$work/pin-seen" ] || fail "no pin for the broken suite"
[ ! -e "$work/preferences/plinka-install-deps" ] || fail "the pin stayed behind"
grep -q 'did not update (bookworm-security)' "$work/err" || fail "no word of the index: $(cat "$work/err")"

# A package that truly cannot be installed: one line naming it and the
# package tool's reason, and a non-zero exit.
rm -f "$work/update-fails" "$work/needs-pin" "$work/calls"
touch "$work/broken"
if bash "$script" docs >"$work/out" 2>"$work/err"; then fail "a failed install exited 0"; fi
expected="install-deps: cannot install gnuplot-nox: Package 'gnuplot-nox' has no installation candidate"
[ "$(grep -c '^install-deps:' "$work/err")" = 1 ] || fail "not one line: $(cat "$work/err")"
grep -qxF "$expected" "$work/err" || fail "the line: $(cat "$work/err")"
echo "install-deps: both cases as expected"
