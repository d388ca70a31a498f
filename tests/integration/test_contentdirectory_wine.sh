#!/usr/bin/env bash
# ContentDirectory control on the Windows build: kbhost.exe runs the DLL under Wine in a server
# namespace on a small generated library, and curl sends SOAP requests from the client
# namespace: Browse (chunked and HTTP/1.0), BrowseMetadata, Search with an escaped comparison,
# a fault, and the fixed answers. Runs the build lib/wine.sh selects.
set -u
SRC="${KB_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}"
source "$SRC/tests/integration/lib/check.sh"
source "$SRC/tests/integration/lib/netns.sh"
source "$SRC/tests/integration/lib/wine.sh"
kb_wine_select
kb_wine_describe
if ! kb_wine_stage; then
    echo "SKIP: no Windows build in $KB_WINE_BUILD_DIR"
    exit 0
fi
for tool in xvfb-run curl lame /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "FAIL - $tool is not installed"; exit 1; }
done
kb_wine_preflight || exit 1

WORK=$(mktemp -d /tmp/kb_cdswine.XXXXXX)
cleanup() {
    exec 7>&- 2>/dev/null
    kb_netns_down kbcdsw
    [ -n "${KB_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

# Three tagged tracks (ISO-8859-1 texts) and no playlist.
mkdir -p "$WORK/music"
head -c 17640 /dev/zero | lame --quiet -r -s 44.1 --bitwidth 16 -m m - "$WORK/silence.mp3" 2>/dev/null
/usr/bin/python3 - "$WORK" <<'PY'
import shutil, sys
from mutagen.id3 import ID3, TALB, TCON, TIT2, TPE1, TRCK
work = sys.argv[1]
for i, (title, number) in enumerate([("Rock & Roll", 3), ("Caf\u00e9", 10), ("Zulu", 12)]):
    path = "%s/music/t%d.mp3" % (work, i)
    shutil.copy(work + "/silence.mp3", path)
    tags = ID3()
    for frame, text in ((TIT2, title), (TPE1, "Ann"), (TALB, "Rec"), (TCON, "Pop"),
                        (TRCK, str(number))):
        tags.add(frame(encoding=0, text=text))
    tags.save(path, v2_version=3)
PY

kb_netns_up kbcdsw
kb_require "Wine prefix ready" kb_wine_prefix kbcdsw-s
cp -r "$KB_WINE_BUILD_DIR/stage" "$WORK/stage"
rm -f "$WORK/stage/winamp.ini"
mkfifo "$WORK/in"
kb_in_server timeout 240 xvfb-run -a "$KB_WINE" "$WORK/stage/kbhost.exe" --music "Z:${WORK//\//\\}\\music" \
    <"$WORK/in" >"$WORK/out" 2>"$WORK/err" &
HOST_PID=$!
exec 7>"$WORK/in"

URL=http://192.0.2.1:8080/control
CDS='"urn:schemas-upnp-org:service:ContentDirectory:1'
# soap ACTION ARGS [CURL OPTIONS...]: the whole answer with its headers.
soap() {
    local action="$1" args="$2"; shift 2
    kb_in_client curl -s -i --max-time 10 "$@" -H "SOAPACTION: $CDS#$action\"" \
        -H 'Content-Type: text/xml; charset="utf-8"' "$URL" --data-binary \
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:$action xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">$args</u:$action></s:Body></s:Envelope>" |
        tr -d '\r'
}
browse() { # browse OBJECTID FLAG [CURL OPTIONS...]
    local id="$1" flag="$2"; shift 2
    soap Browse "<ObjectID>$id</ObjectID><BrowseFlag>$flag</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria>+dc:title</SortCriteria>" "$@"
}
element() { sed -n "s|.*<$1>\\(.*\\)</$1>.*|\\1|p" | head -1; }

# Wait (bounded) until the watcher has filed the three tracks under All Tracks, or stop at
# once when the host has ended (its output says why).
for _ in $(seq 1 ${KB_WAIT:-120}); do
    browse 0 BrowseDirectChildren >"$WORK/root" 2>/dev/null
    grep -q 'childCount=&quot;3&quot; restricted=&quot;true&quot;&gt;' "$WORK/root" &&
        grep -q 'All Tracks' "$WORK/root" && break
    kill -0 "$HOST_PID" 2>/dev/null || break
    sleep 1
done
grep -q '^HTTP/1.1 200 OK' "$WORK/root" || tr -d '\r' <"$WORK/out" "$WORK/err" | sed 's/^/host: /'
kb_require "the server answered the root Browse" grep -q '^HTTP/1.1 200 OK' "$WORK/root"
check "root listing is chunked and names the five top containers" bash -c \
    "grep -q '^Transfer-Encoding: chunked' '$WORK/root' && [ \$(grep -c '&lt;container id=' '$WORK/root') = 5 ]"
ALL=$(grep -B1 'All Tracks' "$WORK/root" | sed -n 's/.*container id=&quot;\([0-9]*\)&quot;.*/\1/p' | head -1)
check "All Tracks found ($ALL)" test -n "$ALL"

browse "$ALL" BrowseDirectChildren --http1.0 >"$WORK/tracks"
check "HTTP/1.0 answer has a Content-Length and no chunks" bash -c \
    "grep -q '^HTTP/1.0 200 OK' '$WORK/tracks' && grep -q '^Content-Length: ' '$WORK/tracks' && ! grep -q '^Transfer-Encoding' '$WORK/tracks'"
check "titles sorted by byte order, doubly escaped, ISO-8859-1 as references" test \
    "$(grep -o '&lt;dc:title&gt;.*&lt;/dc:title&gt;' "$WORK/tracks" | tr '\n' '|')" = \
    '&lt;dc:title&gt;Caf&#233;&lt;/dc:title&gt;|&lt;dc:title&gt;Rock &amp;amp; Roll&lt;/dc:title&gt;|&lt;dc:title&gt;Zulu&lt;/dc:title&gt;|'
check "TotalMatches 3" test "$(element TotalMatches <"$WORK/tracks")" = 3

browse 0 BrowseMetadata >"$WORK/meta"
check "BrowseMetadata of the root is never chunked" bash -c \
    "grep -q '^Content-Length: ' '$WORK/meta' && grep -q 'container id=&quot;0&quot; parentID=&quot;-1&quot;' '$WORK/meta'"

soap Search "<ContainerID>$ALL</ContainerID><SearchCriteria>upnp:originalTrackNumber &gt;= &quot;10&quot;</SearchCriteria><Filter>dc:title</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>" >"$WORK/search"
check "Search with an escaped >= finds tracks 10 and 12" test "$(element TotalMatches <"$WORK/search")" = 2

soap Search "<ContainerID>0</ContainerID><SearchCriteria>dc:title = &quot;x&quot; and</SearchCriteria>" >"$WORK/fault"
check "malformed criteria answers fault 708" bash -c \
    "grep -q '^HTTP/1.1 500' '$WORK/fault' && grep -q '<errorCode>708</errorCode>' '$WORK/fault'"
soap GetSortCapabilities "" >"$WORK/caps"
check "GetSortCapabilities" grep -q '<SortCaps>dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,upnp:originalTrackNumber</SortCaps>' "$WORK/caps"

echo quit >&7
exec 7>&-
for _ in $(seq 1 300); do grep -q 'kbhost: stopped' "$WORK/out" 2>/dev/null && break; sleep 0.1; done
kb_finish
