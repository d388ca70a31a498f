#!/usr/bin/env bash
# Installs the packages the builds and tests need when they are missing. Safe to run again.
set -eu

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# wine64 and the x86_64 compiler serve machines that cannot run 32-bit programs: there the Wine
# tests run a 64-bit variant of the Windows build (see tests/integration/lib/wine.sh).
pkgs=(mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 xvfb xauth gupnp-tools gssdp-tools python3-gi
      gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 gir1.2-gssdp-1.6 lame python3-mutagen iproute2
      gmediarender gstreamer1.0-plugins-good gstreamer1.0-plugins-base gstreamer1.0-plugins-ugly
      gstreamer1.0-libav clang libclang-rt-14-dev llvm)
for p in "${pkgs[@]}"; do have "$p" || need+=("$p"); done

wine_needed=0
if ! have wine32:i386; then wine_needed=1; fi

if [ ${#need[@]} -eq 0 ] && [ $wine_needed -eq 0 ]; then
    exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ $wine_needed -eq 1 ]; then
    $SUDO dpkg --add-architecture i386
    need+=(wine wine32:i386)
fi
echo "install-deps: installing ${need[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
