#!/usr/bin/env bash
# Plays the guide's outcomes with guide_scenarios.exe and, with --check, compares every text the
# guide quotes with what the program showed; with --shots, also writes the screenshots.
# Usage: run-guide-scenarios.sh EMULATOR SCENARIOS_EXE APP_EXE WORK_DIR [--shots DIR] [--check GUIDE]
# (under scripts/with-wine.sh, which provides the prefix, the wineserver and the X display).
# Ports of the tree's prefix: the emulated display on COM14, /dev/null on COM18 (a device that
# is no serial port), nothing on COM19.
set -eu
[ $# -ge 4 ] || {
  echo "usage: $0 EMULATOR SCENARIOS_EXE APP_EXE WORK_DIR [--shots DIR] [--check GUIDE]" >&2; exit 2; }
emulator=$1 scenarios=$2 app=$3 work=$4
shift 4
shots= guide=
while [ $# -gt 0 ]; do
  case "$1" in
    --shots) shots=$2; shift 2 ;;
    --check) guide=$2; shift 2 ;;
    *) echo "run-guide-scenarios: unknown option $1" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
scripts="$here/../../scripts"
[ -n "${WINEPREFIX:-}" ] || {
  echo "run-guide-scenarios: WINEPREFIX is not set; run under scripts/with-wine.sh" >&2; exit 125; }

mkdir -p "$work" "$WINEPREFIX/dosdevices"
work=$(cd "$work" && pwd)
texts="$work/texts.json"
rm -f "$texts"
shot_args=()
if [ -n "$shots" ]; then
  mkdir -p "$shots"
  shot_args=(--shots "$(cd "$shots" && pwd)")
fi

dos="$WINEPREFIX/dosdevices"
trap 'rm -f "$dos/com18"' EXIT
ln -sfn /dev/null "$dos/com18"
rm -f "$dos/com19"

"$scripts/with-emulator.sh" --emulator "$emulator" --com 14 -- \
  "$scripts/wine-exec.sh" "$scenarios" "$app" "$texts" ${shot_args[@]+"${shot_args[@]}"}
if [ -n "$guide" ]; then
  python3 "$here/check_guide.py" "$guide" "$texts"
fi
