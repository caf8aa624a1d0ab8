#!/usr/bin/env bash
# Checks what a plug-in binary shows the system: it exports exactly what its
# format needs (VST 2: VSTPluginMain and main; VST3: GetPluginFactory with
# ModuleEntry/ModuleExit on Linux, InitDll/ExitDll on Windows), and a Windows
# DLL imports only Windows system DLLs.
#   check-plugin-binary.sh BINARY [vst2|vst3]
set -euo pipefail
binary=$1
format=${2:-vst2}
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
    expected="VSTPluginMain main "
    [ "$format" = vst3 ] && expected="ExitDll GetPluginFactory InitDll "
    ;;
*)
    exports=$(nm -D --defined-only "$binary" | awk '{print $NF}' | sort | tr '\n' ' ')
    expected="VSTPluginMain main "
    [ "$format" = vst3 ] && expected="GetPluginFactory ModuleEntry ModuleExit "
    ;;
esac
[ "$exports" = "$expected" ] || fail "exports '$exports', expected exactly '$expected'"
echo "exports: $exports"
