#!/usr/bin/env bash
# The plug-in's life in the POSIX stand-in host: the on/off setting read at start and written at
# quit, tray clicks as the only toggles, the ends of input and signals that quit, the host
# window procedure put back before the module is unloaded, and the --music library writer.
# Runs in its own network namespace: a started server announces itself by multicast.
set -u
BUILD="${KB_BUILD_DIR:?KB_BUILD_DIR not set}"
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
source "$SRC/tests/integration/lib/check.sh"
source "$SRC/tests/integration/lib/netns.sh"

WORK=$(mktemp -d /tmp/kb_lifecycle.XXXXXX)
cleanup() { kb_netns_down kblife; rm -rf "$WORK"; }
trap cleanup EXIT
kb_netns_up kblife

not_grep() { ! grep -q "$@"; }

STAGE="$WORK/stage"
cp -r "$BUILD/stage" "$STAGE"
rm -f "$STAGE/winamp.ini"
ON="tray: disable KestrelBloom Media Server - Winamp"
OFF="tray: enable KestrelBloom Media Server - Winamp"

# run_host "COMMANDS" [ARGS...]: feeds the lines to kbhost; output in $WORK/out, status in $rc.
run_host() {
    local commands="$1"; shift
    printf '%b' "$commands" | kb_in_server timeout 60 "$STAGE/kbhost" "$@" >"$WORK/out" 2>"$WORK/err"
    rc=$?
}
started_value() { sed -n 's/^STARTED=//p' "$STAGE/winamp.ini"; }
lines() { grep -E '^(tray|kbhost: (started|stopped)|result)' "$WORK/out" | tr '\n' '|'; }

# First start: no setting means on. Only the left-button-down notification of icon 1024 toggles.
run_host 'click\nmessage 3731 1024 0x200\nmessage 3731 1024 0x202\nmessage 3731 1024 0x203\nmessage 3731 1024 0x204\nmessage 3731 1024 0x205\nmessage 3731 1025 0x201\nclick\nclick\nquit\n'
grep -q '^kbhost: started$' "$WORK/out" || sed 's/^/stderr: /' "$WORK/err"
kb_require "the plug-in started in the host" grep -q '^kbhost: started$' "$WORK/out"
check "first start exits 0" test "$rc" -eq 0
check "first start: on, clicks toggle, other notifications pass through" test "$(lines)" = \
    "$ON|kbhost: started|$OFF|result: 0|result: 0|result: 0|result: 0|result: 0|result: 0|$ON|$OFF|kbhost: stopped|"
check "record fields as the host sees them" grep -q \
    '^kbhost: loaded gen_kestrelbloom.so: version=16 description="KestrelBloom UPnP Media Server v0.9"$' "$WORK/out"
check "quit after three clicks stores off" test "$(started_value)" = 0
check "host window procedure put back before unloading" \
    bash -c "! grep -q 'not restored' '$WORK/out'"
check "settings query answers a pointer" test "$(printf 'message 1024 0 334\nquit\n' |
    kb_in_server timeout 60 "$STAGE/kbhost" | sed -n 's/^result: //p')" -ge 65536

# Stored off: starts off and stays off without clicks; the rest of the file is kept.
printf '[Winamp]\nvolume=200\n\n[KestrelBloom UPnP Media Server]\nSTARTED=0\n' >"$STAGE/winamp.ini"
run_host 'config\nconfig\nquit\n'
check "stored off starts off" test "$(lines)" = "$OFF|kbhost: started|kbhost: stopped|"
check "quit keeps the host's own settings" grep -qx 'volume=200' "$STAGE/winamp.ini"
check "quit while off stores 0" test "$(started_value)" = 0

# End of input acts as quit.
run_host 'click\n'
check "end of input quits cleanly" test "$rc" -eq 0
check "end of input: toggled on and stopped" test "$(lines)" = "$OFF|kbhost: started|$ON|kbhost: stopped|"
check "end of input stores on" test "$(started_value)" = 1

# SIGTERM and SIGINT act as quit, also while the plug-in's threads run.
for sig in TERM INT; do
    rm -f "$WORK/fifo"; mkfifo "$WORK/fifo"
    ip netns exec kblife-s "$STAGE/kbhost" <"$WORK/fifo" >"$WORK/out" 2>&1 &
    pid=$!
    exec 7>"$WORK/fifo"
    for _ in $(seq 1 100); do grep -q 'kbhost: started' "$WORK/out" && break; sleep 0.1; done
    echo click >&7
    sleep 0.5
    kill -"$sig" "$pid"
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
    wait "$pid"; rc=$?
    exec 7>&-
    check "SIG$sig quits with status 0" test "$rc" -eq 0
    check "SIG$sig runs quit" grep -q '^kbhost: stopped$' "$WORK/out"
done
check "the signalled quit stored the last click" test "$(started_value)" = 1

# --music writes the library files the watcher reads.
MUSIC="$WORK/music library"
mkdir -p "$MUSIC/Artist/Album" "$MUSIC/empty"
: >"$MUSIC/Artist/Album/01 one.mp3"; : >"$MUSIC/Artist/Album/02 two.mp3"; : >"$MUSIC/top.mp3"
ln -s .. "$MUSIC/Artist/loop"  # a link back up is walked once
: >"$MUSIC/notes.txt"; printf 'top.mp3\n' >"$MUSIC/Road Trip.m3u"
run_host 'quit\n' --music "$MUSIC"
check "--music exits 0" test "$rc" -eq 0
check "--music reports what it found" grep -q 'music library: 3 tracks, 1 playlists' "$WORK/out"
tr '\0' '\n' <"$STAGE/Plugins/ml/main.dat" >"$WORK/tracks"
check "main.dat holds the three tracks, each ended by a zero byte" test \
    "$(wc -l <"$WORK/tracks") $(tail -c1 "$STAGE/Plugins/ml/main.dat" | od -An -tu1 | tr -d ' ')" = "3 0"
check "main.dat paths name the files" test -f "$(sed -n 2p "$WORK/tracks")"
query=$(sed -n 's/^query1_val=//p' "$STAGE/Plugins/gen_ml.ini")
check "gen_ml.ini counts one saved query" grep -qx 'query_num=1' "$STAGE/Plugins/gen_ml.ini"
check "saved query names the playlist" grep -qx 'query1_name=Road Trip' "$STAGE/Plugins/gen_ml.ini"
check "saved query is relative to Plugins/ml" test "${query:0:1}" != / -a \
    "$(cd "$STAGE/Plugins/ml" && readlink -f "$query")" = "$(readlink -f "$MUSIC/Road Trip.m3u")"

run_host 'quit\n' --music "$WORK/no such folder"
check "missing music folder fails with status 1" test "$rc" -eq 1
check "missing music folder is named in the error" grep -q "cannot read the music folder .*no such folder" "$WORK/err"
check "missing music folder starts no plug-in" bash -c "! grep -q 'kbhost: started' '$WORK/out'"

# Quit while a track streams to a slow client: the connection thread outlives quit's wait, so
# the module must stay loaded (no fault in the seconds after the host unloads it).
BIG="$WORK/big music"
mkdir -p "$BIG"
head -c 30000000 /dev/zero >"$BIG/big.mp3"
rm -f "$WORK/fifo"; mkfifo "$WORK/fifo"
ip netns exec kblife-s "$STAGE/kbhost" --music "$BIG" --stay 3000 <"$WORK/fifo" >"$WORK/out" 2>&1 &
pid=$!
exec 7>"$WORK/fifo"
for _ in $(seq 1 100); do grep -q 'kbhost: started' "$WORK/out" && break; sleep 0.1; done
track=""
for _ in $(seq 1 30); do  # the watcher fills the catalogue within about a second
    for id in $(seq 1 40); do
        code=$(kb_in_client curl -s -o /dev/null -w '%{http_code}' --max-time 2 -r 0-0 \
            "http://192.0.2.1:8080/disk/$id.mp3")
        if [ "$code" = 200 ] || [ "$code" = 206 ]; then track=$id; break 2; fi
    done
    sleep 0.2
done
check "the large track is served" test -n "$track"
ip netns exec kblife-c curl -s --max-time 30 --limit-rate 20k -o /dev/null \
    "http://192.0.2.1:8080/disk/$track.mp3" &
curl_pid=$!
sleep 1.5
echo quit >&7
exec 7>&-
for _ in $(seq 1 100); do grep -q 'kbhost: stopped' "$WORK/out" && break; sleep 0.1; done
# The client goes away: the connection thread's blocked send returns into the module's code.
kill -9 "$curl_pid" 2>/dev/null; wait "$curl_pid" 2>/dev/null
for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
wait "$pid"; rc=$?
check "quit during a slow stream: no fault after unloading (status $rc)" test "$rc" -eq 0
# Quit ends the stream itself, so every thread has left the module and it can be unloaded.
check "quit during a slow stream ends the stream and unloads the module" \
    not_grep 'still running at quit' "$WORK/out"

kb_finish
