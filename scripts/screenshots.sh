#!/usr/bin/env bash
# Makes the technician's guide's screenshots again: the real program under Wine against the
# display emulator, one outcome per picture (tests/docs/guide_scenarios.cpp), written as PNGs
# into docs/screenshots. Runs headless on a private X server, so the pictures never show a
# desktop's window manager and come out the same from one run to the next.
# Usage: scripts/screenshots.sh [--build-dir DIR] [--native-dir DIR]
#   --build-dir   the Windows build tree (default build/win32, or build/win64 on a machine that
#                 runs no 32-bit programs), configured from that build's preset
#   --native-dir  the native tree that builds the display emulator (default build/native)
. "$(dirname "$0")/lib.sh"
cd "$ldt_root"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) export LDT_WIN32_DIR=$2 LDT_WIN64_DIR=$2; shift 2 ;;
    --native-dir) export LDT_NATIVE_DIR=$2; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--native-dir DIR]" >&2; exit 2 ;;
  esac
done
ldt_trees
build=$ldt_windows
out=docs/screenshots

ldt_step "building" "$build/screenshots-build.log" \
  ldt_build_with_displays LineDisplayTest guide_scenarios

raw=$(mktemp -d "${TMPDIR:-/tmp}/ldt-screenshots.XXXXXX")
trap 'rm -rf "$raw"' EXIT
# The same displays and ports as the guide's test (tests/docs/CMakeLists.txt).
LDT_OWN_XVFB=1 LDT_APP=$PWD/$build/LineDisplayTest.exe ldt_with_displays "$build" \
  --name screenshots --display guide --device guide-device=/dev/null --absent guide-absent -- \
  scripts/wine-exec.sh "$build/tests/docs/guide_scenarios.exe" "$build/LineDisplayTest.exe" \
  "$raw/texts.json" --shots "$raw"

# The driver writes bitmaps; ImageMagick makes PNGs of them losslessly, without the time stamps
# that would make every run differ. Each pixel becomes four (point filter, no blending): at 1:1
# the dialog's 8-pixel text is too small to read on a laptop, and a browser that enlarged it
# would blur it.
mkdir -p "$out"
rm -f "$out"/*.png
for bmp in "$raw"/*.bmp; do
  convert "$bmp" -filter point -resize 200% -strip -define png:compression-level=9 \
    -define png:exclude-chunks=date,time "$out/$(basename "$bmp" .bmp).png"
done
echo "screenshots: $(ls "$out"/*.png | wc -l) pictures in $out ($(du -sk "$out" | cut -f1) KB)"
