# Which Windows build the Wine tests run, and how Wine is started for it. Source this file, then:
#   kb_wine_select   sets KB_WINDOWS_BUILD (win32 or win64) and KB_WINDOWS_REASON, unless the
#                    caller already exported them (test.sh detects once for the whole run);
#                    then KB_WINE_BUILD_DIR, KB_WINE (the loader to run kbhost.exe with),
#                    WINEPREFIX (a prefix of that build folder's own) and, for win64,
#                    WINELOADER.
#   kb_wine_describe prints the one line saying which build is tested and why.
#   kb_wine_preflight fails within a second, with the loader's own message, when the loader
#                    cannot start at all.
#   kb_wine_prefix NS makes the prefix inside namespace NS when it does not exist yet: Wine
#                    keeps sockets in its wineserver, which lives in the namespace of the Wine
#                    process that started it, so the first one must start there. It also sets
#                    the prefix's virtual desktop (kb_wine_desktop), on older prefixes too.
# Where the machine runs 32-bit x86 programs, the tests run the shipped 32-bit build. Where it
# cannot, Debian's Wine has no way to run a 32-bit DLL, so they run the 64-bit variant of the
# same tree under the 64-bit loader. KB_FORCE_WIN64=1 takes the second path anywhere.
# Run as a program, `wine.sh env` prints the selection as NAME=VALUE lines for other languages,
# and `wine.sh prefix NS` runs kb_wine_prefix.

KB_WINE32_LOADER=/usr/bin/wine
KB_WINE64_LOADER=/usr/lib/wine/wine64

# kb_runs_i686: whether a minimal 32-bit x86 Linux program (exit(0) through int 0x80) runs.
# Its error text, when it does not, is left in KB_I686_ERROR.
kb_runs_i686() {
    local probe
    probe=$(mktemp /tmp/kb_i686.XXXXXX) || return 1
    python3 - "$probe" <<'PY'
import struct, sys
code = bytes.fromhex("b801000000" "31db" "cd80")  # mov eax, 1; xor ebx, ebx; int 0x80
base, size = 0x08048000, 52 + 32 + len(code)
header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack(
    "<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
program = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as f:
    f.write(header + program + code)
PY
    chmod +x "$probe"
    KB_I686_ERROR=$("$probe" 2>&1)
    local rc=$?
    rm -f "$probe"
    KB_I686_ERROR=${KB_I686_ERROR##*: }
    [ $rc -eq 0 ]
}

kb_wine_select() {
    local src="${KB_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)}"
    if [ -z "${KB_WINDOWS_BUILD:-}" ]; then
        if [ "${KB_FORCE_WIN64:-0}" = 1 ]; then
            KB_WINDOWS_BUILD=win64
            KB_WINDOWS_REASON="KB_FORCE_WIN64=1 asks for the 64-bit path"
        elif kb_runs_i686; then
            KB_WINDOWS_BUILD=win32
            KB_WINDOWS_REASON="this machine runs 32-bit x86 programs"
        else
            KB_WINDOWS_BUILD=win64
            KB_WINDOWS_REASON="this machine cannot run 32-bit x86 programs (a tiny i686 program: ${KB_I686_ERROR:-no output})"
        fi
    fi
    if [ "$KB_WINDOWS_BUILD" = win64 ]; then
        KB_WINE_BUILD_DIR="${KB_WIN64_BUILD_DIR:-$src/build-win64}"
        KB_WINE="$KB_WINE64_LOADER"
        export WINELOADER="$KB_WINE64_LOADER"
    else
        KB_WINE_BUILD_DIR="${KB_WIN32_BUILD_DIR:-$src/build-win32}"
        KB_WINE="$KB_WINE32_LOADER"
    fi
    export KB_WINDOWS_BUILD KB_WINDOWS_REASON KB_WINE_BUILD_DIR KB_WINE
    export WINEPREFIX="$KB_WINE_BUILD_DIR/wine-prefix" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

kb_wine_describe() {
    if [ "$KB_WINDOWS_BUILD" = win64 ]; then
        echo "Windows tests: the 64-bit variant in ${KB_WINE_BUILD_DIR##*/} under the 64-bit Wine," \
             "because $KB_WINDOWS_REASON; the shipped 32-bit DLL is checked from its file only"
    else
        echo "Windows tests: the shipped 32-bit build in ${KB_WINE_BUILD_DIR##*/} under Wine," \
             "because $KB_WINDOWS_REASON"
    fi
}

# kb_wine_stage: succeeds when the selected build has a stage with kbhost.exe and the DLL.
kb_wine_stage() {
    [ -f "$KB_WINE_BUILD_DIR/stage/kbhost.exe" ] &&
        [ -f "$KB_WINE_BUILD_DIR/stage/Plugins/gen_kestrelbloom.dll" ]
}

kb_wine_preflight() {
    local out
    if ! out=$(timeout 20 "$KB_WINE" --version 2>&1); then
        echo "FAIL - the Wine loader $KB_WINE cannot start: $out"
        return 1
    fi
}

kb_wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        ip netns exec "$1" timeout 180 xvfb-run -a "$KB_WINE" wineboot -i >/dev/null 2>&1
        ip netns exec "$1" timeout 60 wineserver -w
    fi
    [ -f "$WINEPREFIX/system.reg" ] && kb_wine_desktop "$1"
}

# kb_wine_desktop NS: Wine runs every window of the prefix in a virtual desktop with a taskbar.
# Without one, Wine's shell shows the notification area as a top-level window of its own and
# hides it when the last tray icon goes; on a display with no window manager (xvfb-run) that
# hide waits 2 s for an acknowledgement that never comes, inside the plug-in's tray-icon
# removal at quit. The desktop's notification area, like the Windows shell's, has no such wait.
kb_wine_desktop() {
    grep -q '^\[Software\\\\Wine\\\\Explorer\\\\Desktops\]' "$WINEPREFIX/user.reg" && return 0
    ip netns exec "$1" timeout 60 "$KB_WINE" reg add 'HKCU\Software\Wine\Explorer' \
        /v Desktop /d Default /f >/dev/null 2>&1
    ip netns exec "$1" timeout 60 "$KB_WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' \
        /v Default /d 800x600 /f >/dev/null 2>&1
    ip netns exec "$1" timeout 60 wineserver -w
    grep -q '^\[Software\\\\Wine\\\\Explorer\\\\Desktops\]' "$WINEPREFIX/user.reg"
}

if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = prefix ] && [ -n "${2:-}" ]; then
    kb_wine_select
    kb_wine_prefix "$2"
    exit
fi
if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = env ]; then
    kb_wine_select
    for name in KB_WINDOWS_BUILD KB_WINDOWS_REASON KB_WINE_BUILD_DIR KB_WINE WINEPREFIX \
        WINELOADER; do
        [ -n "${!name:-}" ] && echo "$name=${!name}"
    done
    echo "KB_WINDOWS_LINE=$(kb_wine_describe)"
fi
