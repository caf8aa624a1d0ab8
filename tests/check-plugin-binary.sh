#!/usr/bin/env bash
# Checks what a plug-in binary shows the system: it exports exactly the names
# its format requires (by default VST 2's VSTPluginMain and main), and a
# Windows DLL imports only Windows system DLLs.
#   check-plugin-binary.sh BINARY [EXPORTED-NAME...]
set -euo pipefail
binary=$1
shift
[ $# -gt 0 ] || set -- VSTPluginMain main
expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
fail() { echo "check-plugin-binary: $binary: $*" >&2; exit 1; }

case $(od -An -c -N2 "$binary" | tr -d ' ') in
MZ)
    pe=$(od -An -tu4 -j60 -N4 "$binary" | tr -d ' ')
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$binary" | tr -d ' ')
    if [ "$machine" = 8664 ]; then objdump=x86_64-w64-mingw32-objdump; else objdump=i686-w64-mingw32-objdump; fi
    dump=$($objdump -p "$binary")
    exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([A-Za-z_][A-Za-z0-9_@]*\)$/\1/p' | sort | tr '\n' ' ')
    imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    for dll in $imports; do
        case $dll in
        kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|advapi32.dll|msvcrt.dll|shell32.dll|ole32.dll) ;;
        *) fail "imports $dll, which is not a Windows system DLL" ;;
        esac
    done
    echo "imports: $imports"
    ;;
*)
    exports=$(nm -D --defined-only "$binary" | awk '{print $NF}' | sort | tr '\n' ' ')
    ;;
esac
[ "$exports" = "$expected" ] || fail "exports '$exports', expected exactly '$expected'"
echo "exports: $exports"
