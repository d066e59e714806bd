#!/usr/bin/env bash
# Usage: with-emulator.sh [--emulator PATH] --com N [--com N]... [EMULATOR OPTION...] -- COMMAND...
# Runs COMMAND while the display emulator plays a CU20029 display on COMn of $WINEPREFIX, and
# stops the emulator afterwards, whatever COMMAND did. COMMAND finds the emulator through:
#   LDT_EMULATOR_PORT     the first port, e.g. COM5 (open it as \\.\COM5)
#   LDT_EMULATOR_PORTS    every port given, separated by blanks
#   LDT_EMULATOR_LOG      the emulator's log, as a Windows path (Z:\...)
#   LDT_EMULATOR_CONTROL  the control file, as a Windows path (Z:\...)
#   LDT_EMULATOR_DIR      the directory holding both, as a Unix path
# The run directory is removed when COMMAND succeeds and kept (and named) when it fails.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
emulator="${LDT_EMULATOR:-$here/../build/native/tools/emulator/vfd-emulator}"
ports=()
options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --emulator) emulator=$2; shift 2 ;;
    --com)
      # COM1 to COM4 belong to the machine's own serial ports; the tests keep off them.
      case "$2" in ''|*[!0-9]*) echo "with-emulator: --com takes a number" >&2; exit 2 ;; esac
      [ "$2" -ge 5 ] || { echo "with-emulator: use COM5 or above, not COM$2" >&2; exit 2; }
      ports+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) options+=("$1"); shift ;;
  esac
done
[ $# -gt 0 ] && [ ${#ports[@]} -gt 0 ] || {
  echo "usage: $0 [--emulator PATH] --com N... [EMULATOR OPTION...] -- COMMAND..." >&2; exit 2; }
[ -n "${WINEPREFIX:-}" ] || {
  echo "with-emulator: WINEPREFIX is not set; run under scripts/with-wine.sh" >&2; exit 125; }
[ -x "$emulator" ] || {
  echo "with-emulator: no emulator at $emulator (build the native tree first)" >&2; exit 125; }

mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/../emulator-runs"
dir=$(mktemp -d "$(cd "$WINEPREFIX/.." && pwd)/emulator-runs/run.XXXXXX")
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"

links=()
names=()
for n in "${ports[@]}"; do
  links+=(--link "$WINEPREFIX/dosdevices/com$n")
  names+=("COM$n")
done

pid=
stop_emulator() {
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
}
trap stop_emulator EXIT
trap 'exit 130' INT TERM

# --exit-with-parent: should this script be killed outright, the emulator still goes.
"$emulator" --exit-with-parent --log "$dir/emulator.log" --control "$dir/control" \
  "${links[@]}" ${options[@]+"${options[@]}"} >"$dir/ready" 2>"$dir/emulator.err" </dev/null &
pid=$!
for _ in $(seq 100); do
  grep -q '^ready ' "$dir/ready" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
grep -q '^ready ' "$dir/ready" 2>/dev/null || {
  echo "with-emulator: the emulator did not start:" >&2; cat "$dir/emulator.err" >&2; exit 1; }

export LDT_EMULATOR_PORT="${names[0]}"
export LDT_EMULATOR_PORTS="${names[*]}"
export LDT_EMULATOR_LOG
LDT_EMULATOR_LOG=$(ldt_winpath "$dir/emulator.log")
export LDT_EMULATOR_CONTROL
LDT_EMULATOR_CONTROL=$(ldt_winpath "$dir/control")
export LDT_EMULATOR_DIR="$dir"

set +e
"$@"
rc=$?
set -e
stop_emulator
if [ $rc -eq 0 ]; then
  rm -rf "$dir"
else
  echo "with-emulator: COMMAND failed ($rc); emulator log kept in $dir" >&2
fi
exit $rc
