#!/usr/bin/env bash
# Makes the technician's guide's screenshots again: the real program under Wine against the
# display emulator, one outcome per picture (tests/docs/guide_scenarios.cpp), written compressed
# into docs/screenshots. Runs headless on a private X server, so the pictures never show a
# desktop's window manager and come out the same from one run to the next.
# Usage: scripts/screenshots.sh [--build-dir DIR] [--native-dir DIR]
#   --build-dir   the Windows build tree (default build/win32, or build/win64 on a machine that
#                 runs no 32-bit programs; those two are configured by their presets when they
#                 have not been yet, any other tree must be configured already)
#   --native-dir  the native tree that builds the display emulator (default build/native)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=wine-env.sh
. scripts/wine-env.sh
ldt_probe_windows_build
build=build/$LDT_WINDOWS_BUILD
native=build/native
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --native-dir) native=$2; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--native-dir DIR]" >&2; exit 2 ;;
  esac
done
out=docs/screenshots
[ -z "$LDT_WINE_NOTE" ] || echo "screenshots: $LDT_WINE_NOTE"

mkdir -p "$build"
log="$build/screenshots-build.log"
{
  if [ ! -f "$native/CMakeCache.txt" ]; then
    cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Debug -DLDT_WERROR=ON
  fi
  cmake --build "$native" --target vfd-emulator -j2
  if [ ! -f "$build/CMakeCache.txt" ]; then
    case "$build" in
      build/win32 | build/win64) cmake --preset "${build#build/}" ;;
      *) echo "screenshots: $build is not a configured Windows build tree"; exit 1 ;;
    esac
  fi
  cmake --build "$build" --target LineDisplayTest guide_scenarios -j2
} >"$log" 2>&1 || {
  tail -n 20 "$log" | sed 's/^/  /' >&2
  echo "screenshots: the build failed; the last lines of $log are above" >&2
  exit 1
}

raw=$(mktemp -d "${TMPDIR:-/tmp}/ldt-screenshots.XXXXXX")
trap 'rm -rf "$raw"' EXIT
LDT_OWN_XVFB=1 scripts/with-wine.sh "$build" bash tests/docs/run-guide-scenarios.sh \
  "$PWD/$native/tools/emulator/vfd-emulator" "$build/tests/docs/guide_scenarios.exe" \
  "$build/LineDisplayTest.exe" "$build/tests/docs/shots-work" --shots "$raw"

# The driver writes plain, uncompressed PNGs; ImageMagick packs them losslessly, without the
# time stamps that would make every run differ.
mkdir -p "$out"
rm -f "$out"/*.png
for png in "$raw"/*.png; do
  convert "$png" -strip -define png:compression-level=9 -define png:exclude-chunks=date,time \
    "$out/$(basename "$png")"
done
echo "screenshots: $(ls "$out"/*.png | wc -l) pictures in $out ($(du -sk "$out" | cut -f1) KB)"
