#!/usr/bin/env bash
# Builds the server if needed, makes a small demo library (or takes --music DIR) and serves it
# from the stand-in host in the foreground. Type "click" to switch the server off and on,
# "quit" (or Ctrl-C) to stop.
set -eu
cd "$(dirname "$0")"
ROOT=$(pwd)
music=""
while [ $# -gt 0 ]; do
    case "$1" in
        --music) [ $# -ge 2 ] || { echo "usage: ./demo.sh [--music DIR]" >&2; exit 2; }
                 music="$2"; shift 2 ;;
        -h|--help) echo "usage: ./demo.sh [--music DIR]"; exit 0 ;;
        *) echo "usage: ./demo.sh [--music DIR]" >&2; exit 2 ;;
    esac
done

if [ -n "$music" ]; then
    # A wrong folder is reported before anything starts.
    if [ ! -e "$music" ]; then
        echo "demo: $music does not exist; give a folder that holds your MP3 files:" >&2
        echo "      ./demo.sh --music ~/Music" >&2
        exit 2
    elif [ ! -d "$music" ]; then
        echo "demo: $music is a file, not a folder; give the folder that holds it" >&2
        exit 2
    elif [ ! -r "$music" ] || [ ! -x "$music" ]; then
        echo "demo: the folder $music cannot be read by $(id -un)" >&2
        exit 2
    fi
    music=$(cd "$music" && pwd)
    if [ -z "$(find "$music" -iname '*.mp3' -print -quit 2>/dev/null)" ]; then
        echo "demo: warning: no .mp3 files below $music; control points will see empty" \
             "containers (only MP3 files and .m3u playlists are served)" >&2
    fi
fi

if [ ! -x build/stage/kbhost ] || [ ! -f build/stage/Plugins/gen_kestrelbloom.so ] ||
   [ -n "$(find plugin runtime platform host ssdp http soap services eventing media_db mp3 \
           -newer build/stage/Plugins/gen_kestrelbloom.so -name '*.[ch]*' 2>/dev/null | head -1)" ]; then
    echo "demo: building (native release build in build/) ..."
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build -j2 --target kbhost gen_kestrelbloom
fi

if [ -z "$music" ]; then
    music="$ROOT/demo-library"
    if [ ! -f "$music/Road Trip.m3u" ]; then
        /usr/bin/python3 tools/make_demo_library.py "$music"
    fi
fi

stage="$ROOT/build/stage"
if grep -qix 'STARTED=0' "$stage/winamp.ini" 2>/dev/null; then
    echo "demo: the server was switched off when it last quit; type 'click' to switch it on."
fi
name="KestrelBloom Media Server [$(hostname)]"
echo "demo: serving $music"
echo "demo: control points on this network find \"$name\" by discovery (SSDP)."
for address in $(ip -4 -o addr show scope global 2>/dev/null | awk '{print $4}' | cut -d/ -f1); do
    echo "demo:   device description: http://$address:8080/DeviceDescription.xml (or the next free port)"
done
echo "demo: commands: click (switch off/on), quit (or Ctrl-C); both say byebye to control points"
echo "demo: on a shared network, run the demo in a network namespace of its own (see README.md)"
echo "demo: scanning $music for .mp3 files and .m3u playlists; the server reads their tags" \
     "once it runs, and control points see the containers fill"
exec "$stage/kbhost" --music "$music"
