#!/usr/bin/env bash
# The shipped 32-bit DLL as a file, checked on every machine without running it: an i386 PE
# image exporting the plug-in entry alone, importing Windows' own DLLs only, with icon groups 104
# and 105 of 32x32 and 16x16 images in 16 colours. (The 28-byte record layout is a static
# assertion of the 32-bit compile.)
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
WIN="${KB_WIN32_BUILD_DIR:-$SRC/build-win32}"
DLL="$WIN/stage/Plugins/gen_kestrelbloom.dll"
source "$SRC/tests/integration/lib/check.sh"
if [ ! -f "$DLL" ]; then
    echo "SKIP: no 32-bit Windows build in $WIN (build it with cmake/mingw-w64-i686.cmake)"
    exit 0
fi
for tool in i686-w64-mingw32-objdump i686-w64-mingw32-windres; do
    command -v "$tool" >/dev/null || { echo "FAIL - $tool is not installed"; exit 1; }
done
WORK=$(mktemp -d /tmp/kb_win32file.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

i686-w64-mingw32-objdump -p "$DLL" >"$WORK/pe"
check "PE machine i386" grep -q 'file format pei-i386' "$WORK/pe"
exports=$(sed -n '/Ordinal\/Name Pointer/,/^$/p' "$WORK/pe" | sed -nE 's/^\s+\[ *[0-9]+\] //p' |
          tr '\n' ' ')
check "exports only winampGetGeneralPurposePlugin ($exports)" \
    test "$exports" = "winampGetGeneralPurposePlugin "
imports=$(sed -n 's/^\s*DLL Name: //p' "$WORK/pe" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
# Windows' own DLLs; the C runtime msvcrt.dll ships with every Windows since 2000.
only_system() {
    local dll
    [ -n "$imports" ] || return 1
    for dll in $imports; do
        case "$dll" in
            kernel32.dll|user32.dll|shell32.dll|ws2_32.dll|iphlpapi.dll|msvcrt.dll|advapi32.dll) ;;
            *) return 1 ;;
        esac
    done
}
check "imports only Windows' own DLLs ($imports)" only_system
i686-w64-mingw32-windres -J coff -i "$DLL" -O rc >"$WORK/rc" 2>/dev/null
for id in 104 105; do
    group=$(grep -A6 "^$id 14 " "$WORK/rc")
    check "icon group $id has a 32x32 and a 16x16 image in 16 colours" test \
        "$(echo "$group" | grep -cE '"\\040\\040\\020\\000", 1, 4,|"\\020\\020\\020\\000", 1, 4,')" = 2
done
check "the 28-byte record layout is asserted at compile time" grep -rqF --include='*.cpp' \
    --include='*.h' --exclude-dir='build*' 'sizeof(PluginRecord) == 28' "$SRC"
kb_finish
