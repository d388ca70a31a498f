#!/usr/bin/env bash
# The Windows build under Wine: the DLL's exports, imports and icon resources, and one life of
# the plug-in in kbhost.exe (record fields, init, a tray click, quit writing "STARTED").
# Runs in its own network namespace: a started server announces itself by multicast.
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
WIN="${KB_WIN32_BUILD_DIR:-$SRC/build-win32}"
DLL="$WIN/stage/Plugins/gen_kestrelbloom.dll"
if [ ! -f "$WIN/stage/kbhost.exe" ] || [ ! -f "$DLL" ]; then
    echo "SKIP: no Windows build in $WIN (build it with cmake/mingw-w64-i686.cmake)"
    exit 0
fi
for tool in wine xvfb-run i686-w64-mingw32-objdump i686-w64-mingw32-windres; do
    command -v "$tool" >/dev/null || { echo "FAIL - $tool is not installed"; exit 1; }
done
# shellcheck source=lib/netns.sh
source "$SRC/tests/integration/lib/netns.sh"

WORK=$(mktemp -d /tmp/kb_wine.XXXXXX)
cleanup() {
    kb_netns_down kbwine
    [ -n "${WINEPREFIX:-}" ] && timeout 30 wineserver -k 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
check() {
    local what="$1"; shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; failures=$((failures + 1)); fi
}

# The module as a file: one export, system DLLs only, icon groups 104 and 105 of 32x32 and
# 16x16 images in 16 colours.
i686-w64-mingw32-objdump -p "$DLL" >"$WORK/pe"
check "32-bit PE DLL" grep -q 'file format pei-i386' "$WORK/pe"
check "exports only winampGetGeneralPurposePlugin" test \
    "$(sed -n '/Ordinal\/Name Pointer/,/^$/p' "$WORK/pe" | grep -cE '^\s+\[ *[0-9]+\]')" = 1 -a \
    "$(sed -n '/Ordinal\/Name Pointer/,/^$/p' "$WORK/pe" | grep -c 'winampGetGeneralPurposePlugin')" = 1
imports=$(sed -n 's/^\s*DLL Name: //p' "$WORK/pe" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
check "imports only system DLLs ($imports)" bash -c \
    "! echo '$imports' | grep -qiE 'lib(gcc|stdc|winpthread)|mingw'"
i686-w64-mingw32-windres -J coff -i "$DLL" -O rc >"$WORK/rc" 2>/dev/null
for id in 104 105; do
    group=$(grep -A6 "^$id 14 " "$WORK/rc")
    check "icon group $id has a 32x32 and a 16x16 image in 16 colours" test \
        "$(echo "$group" | grep -cE '"\\040\\040\\020\\000", 1, 4,|"\\020\\020\\020\\000", 1, 4,')" = 2
done

# One life in the stand-in host. Wine keeps sockets in its wineserver, which lives in the
# network namespace of the Wine process that started it: so this test has a prefix of its own,
# whose wineserver is started inside the server namespace and nowhere else.
kb_netns_up kbwine
export WINEPREFIX="${TMPDIR:-/tmp}/kb-wine-smoke-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 30 wineserver -k 2>/dev/null
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    kb_in_server timeout 180 xvfb-run -a wineboot -i >/dev/null 2>&1
fi
timeout 60 wineserver -w
cp -r "$WIN/stage" "$WORK/stage"
rm -f "$WORK/stage/winamp.ini"
printf 'message 1024 0 334\nconfig\nclick\nquit\n' |
    kb_in_server timeout 240 xvfb-run -a wine "$WORK/stage/kbhost.exe" >"$WORK/out" 2>"$WORK/err"
rc=$?
tr -d '\r' <"$WORK/out" >"$WORK/log"
cat "$WORK/log"
check "kbhost.exe exits 0" test "$rc" -eq 0
check "record: version 16, description, 28-byte 32-bit layout" grep -qx \
    'kbhost: loaded gen_kestrelbloom.dll: version=16 description="KestrelBloom UPnP Media Server v0.9" record=28 bytes' "$WORK/log"
check "init returned" grep -qx 'kbhost: started' "$WORK/log"
check "settings query answered with a path" test \
    "$(sed -n 's/^result: //p' "$WORK/log")" -ge 65536
check "quit returned" grep -qx 'kbhost: stopped' "$WORK/log"
check "host window procedure put back" bash -c "! grep -q 'not restored' '$WORK/log'"
tr -d '\r' <"$WORK/stage/winamp.ini" >"$WORK/ini" 2>/dev/null
check "STARTED written as 0 after one click" grep -qx 'STARTED=0' "$WORK/ini"
check "under the plug-in's own section" grep -qx '\[KestrelBloom UPnP Media Server\]' "$WORK/ini"

# Quit while a track streams to a slow client: the DLL must stay loaded for the thread that is
# still sending, so FreeLibrary leaves no thread running in unmapped code.
mkdir -p "$WORK/big"
head -c 30000000 /dev/zero >"$WORK/big/big.mp3"
rm -f "$WORK/stage/winamp.ini" "$WORK/fifo"; mkfifo "$WORK/fifo"
ip netns exec kbwine-s timeout 240 xvfb-run -a wine "$WORK/stage/kbhost.exe" \
    --music "Z:$(echo "$WORK/big" | tr / '\\')" --stay 4000 <"$WORK/fifo" >"$WORK/out" 2>&1 &
pid=$!
exec 7>"$WORK/fifo"
for _ in $(seq 1 300); do grep -q 'kbhost: started' "$WORK/out" && break; sleep 0.1; done
track=""
for _ in $(seq 1 30); do
    for id in $(seq 1 20); do
        code=$(kb_in_client curl -s -o /dev/null -w '%{http_code}' --max-time 2 -r 0-0 \
            "http://192.0.2.1:8080/disk/$id.mp3")
        if [ "$code" = 200 ] || [ "$code" = 206 ]; then track=$id; break 2; fi
    done
    sleep 0.3
done
check "the large track is served" test -n "$track"
ip netns exec kbwine-c curl -s --max-time 60 --limit-rate 20k -o /dev/null \
    "http://192.0.2.1:8080/disk/$track.mp3" &
curl_pid=$!
sleep 2
echo quit >&7
exec 7>&-
for _ in $(seq 1 200); do grep -q 'kbhost: stopped' "$WORK/out" && break; sleep 0.1; done
kill -9 "$curl_pid" 2>/dev/null; wait "$curl_pid" 2>/dev/null
wait "$pid"; rc=$?
tr -d '\r' <"$WORK/out" >"$WORK/log"
check "quit during a slow stream: kbhost.exe exits 0 after unloading (status $rc)" test "$rc" -eq 0
check "quit during a slow stream: the DLL stays loaded" grep -q \
    'still running at quit; the module stays loaded' "$WORK/log"
check "quit during a slow stream: quit returned" grep -qx 'kbhost: stopped' "$WORK/log"

echo "$failures failure(s)"
test "$failures" -eq 0
