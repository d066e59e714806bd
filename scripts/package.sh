#!/usr/bin/env bash
# The release package: builds the 32-bit release exe and writes
# dist/LineDisplayTest-<file version>.zip, holding the exe, the technician's guide as one HTML
# file with its pictures inside, and the SHA-256 sums of both. The version is read from the
# exe's own version resource; nothing here runs the exe.
# Usage: scripts/package.sh [--build-dir DIR] [--out DIR] [--check]
#   --build-dir  the 32-bit Windows tree (default build/win32, configured by its preset when it
#                has not been yet; any other tree is configured with the 32-bit toolchain)
#   --out        where the zip goes (default dist)
#   --check      then unpacks the zip and checks it: the exe is the tree's exe, byte for byte,
#                and a PE32 i386 GUI program; every picture the guide names is inside; the
#                checksums match
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/win32
out=dist
check=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --check) check=1; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--out DIR] [--check]" >&2; exit 2 ;;
  esac
done

for tool in cmake i686-w64-mingw32-g++-posix pandoc python3; do
  command -v "$tool" >/dev/null || { bash scripts/install-deps.sh; break; }
done
for tool in cmake i686-w64-mingw32-g++-posix pandoc python3; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing" >&2; exit 1; }
done

mkdir -p "$build"
log="$build/package-build.log"
{
  if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" = build/win32 ]; then
      cmake --preset win32
    else
      cmake -S . -B "$build" --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DLDT_WERROR=ON
    fi
  fi
  cmake --build "$build" --target LineDisplayTest -j2
} >"$log" 2>&1 || {
  tail -n 20 "$log" | sed 's/^/  /' >&2
  echo "package: building the exe failed; the last lines of $log are above" >&2
  exit 1
}
exe="$build/LineDisplayTest.exe"

version=$(python3 scripts/package.py version "$exe")
stage=$(mktemp -d "${TMPDIR:-/tmp}/ldt-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
guide="$stage/LineDisplayTest-Guide.html"
# --self-contained: the pictures and the style sheet go into the page as data, so the one
# file is the whole guide wherever it is copied.
pandoc docs/technician-guide.md --from markdown --to html5 --self-contained \
  --resource-path=docs --css docs/guide.css \
  --metadata pagetitle="Line display test: technician's guide" --output "$guide"
cp "$exe" "$stage/LineDisplayTest.exe"

# Entries carry the time of the last commit, so the same sources give the same zip.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
zip="$out/LineDisplayTest-$version.zip"
python3 scripts/package.py zip "$zip" "LineDisplayTest-$version" "$epoch" \
  "$stage/LineDisplayTest.exe" "$guide"
echo "package: $zip ($(du -k "$zip" | cut -f1) KB)"

if [ $check = 1 ]; then
  python3 scripts/package.py check "$zip" "$exe"
fi
