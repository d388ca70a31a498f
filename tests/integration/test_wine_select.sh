#!/usr/bin/env bash
# The choice of the Windows build for the Wine tests: the detection agrees with what this
# machine does with a 32-bit program of Wine's own, the chosen loader starts, the other path can
# be forced, and a loader that cannot start fails within seconds with its own message. Starts no
# server, so it needs no namespace.
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
source "$SRC/tests/integration/lib/check.sh"
LIB="$SRC/tests/integration/lib/wine.sh"

# selection [NAME=VALUE...]: the selection made in a clean environment, as NAME=VALUE lines.
selection() { env -u KB_WINDOWS_BUILD -u KB_WINDOWS_REASON -u KB_FORCE_WIN64 -u WINELOADER \
               "$@" bash "$LIB" env; }
value() { sed -n "s/^$1=//p"; }

detected=$(selection)
build=$(echo "$detected" | value KB_WINDOWS_BUILD)
echo "$detected" | value KB_WINDOWS_LINE
WINESERVER32=/usr/lib/wine/wineserver32
if [ -e "$WINESERVER32" ]; then
    if "$WINESERVER32" --version >/dev/null 2>&1; then wine32_runs=win32; else wine32_runs=win64; fi
    check "detection ($build) agrees with whether Wine's 32-bit server runs here ($wine32_runs)" \
        test "$build" = "$wine32_runs"
else
    echo "skip - no 32-bit Wine installed to compare the detection with"
fi
loader=$(echo "$detected" | value KB_WINE)
check "the chosen loader starts ($loader)" bash -c "'$loader' --version >/dev/null 2>&1"

forced=$(selection KB_FORCE_WIN64=1)
check "KB_FORCE_WIN64=1 selects the 64-bit variant with the 64-bit loader and its own prefix" test \
    "$(echo "$forced" | value KB_WINDOWS_BUILD) $(echo "$forced" | value KB_WINE) $(echo "$forced" | value WINELOADER) $(echo "$forced" | value WINEPREFIX)" = \
    "win64 /usr/lib/wine/wine64 /usr/lib/wine/wine64 $SRC/build-win64/wine-prefix"
given=$(selection KB_WINDOWS_BUILD=win32 KB_WINDOWS_REASON=given)
check "a selection made before (by test.sh) is kept" test \
    "$(echo "$given" | value KB_WINDOWS_BUILD) $(echo "$given" | value KB_WINE) $(echo "$given" | value WINELOADER)" = \
    "win32 /usr/bin/wine "

# The path this machine cannot take: its loader fails at once, naming the reason.
if [ "$build" = win64 ]; then
    started=$(date +%s)
    out=$(env KB_WINDOWS_BUILD=win32 KB_WINDOWS_REASON=forced bash -c \
        "source '$LIB'; kb_wine_select; kb_wine_preflight")
    rc=$?
    echo "$out" | sed "s/^/  as expected: /"
    check "the 32-bit loader that cannot run fails within seconds with its message" test \
        "$rc" -ne 0 -a "$(($(date +%s) - started))" -le 5 -a -n "$(echo "$out" | grep 'cannot start: .*[a-z]')"
fi
kb_finish
