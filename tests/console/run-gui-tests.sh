#!/usr/bin/env bash
# Runs gui_test.exe against three emulated displays mapped as COM ports of the private prefix.
# Usage: run-gui-tests.sh EMULATOR GUI_TEST_EXE APP_EXE WORK_DIR ARTIFACTS_DIR
# (under scripts/with-wine.sh, which provides the prefix, the wineserver and the X display).
set -eu
[ $# -eq 5 ] || { echo "usage: $0 EMULATOR GUI_TEST_EXE APP_EXE WORK_DIR ARTIFACTS_DIR" >&2; exit 2; }
emulator=$1 test_exe=$2 app=$3 work=$4 artifacts=$5
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  echo "run-gui-tests: WINEPREFIX is not set; run the tests under scripts/with-wine.sh" >&2
  exit 125
fi
if [ ! -x "$emulator" ]; then
  echo "run-gui-tests: no display emulator at $emulator; build the native tree first" >&2
  exit 1
fi
dos="$WINEPREFIX/dosdevices"
mkdir -p "$work" "$artifacts" "$dos"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# NAME then the emulator's options; each one answers on its own pty, at 9600 baud to begin with
# so that every setting the program applies or puts back shows in its log.
start_emulator() {
  local name=$1
  shift
  rm -f "$work/$name.ready"
  "$emulator" --log "$work/$name.log" --initial 9600,8N1 --exit-with-parent "$@" \
    >"$work/$name.ready" 2>"$work/$name.err" </dev/null &
  pids+=($!)
}
start_emulator good --link "$dos/com5" --link "$dos/vfdport123456789"
start_emulator unknown --link "$dos/com6" --product unknown
start_emulator silent --link "$dos/com7" --silent
for name in good unknown silent; do
  for _ in $(seq 100); do grep -q '^ready' "$work/$name.ready" 2>/dev/null && break; sleep 0.05; done
  grep -q '^ready' "$work/$name.ready" || { echo "run-gui-tests: emulator $name did not start" >&2; cat "$work/$name.err" >&2; exit 1; }
done
# COM9 is the port that does not exist.
rm -f "$dos/com9"

export LDT_APP="$app" LDT_LOGS="$work" LDT_ARTIFACTS="$artifacts"
set +e
"$here/../../scripts/wine-exec.sh" "$test_exe"
rc=$?
set -e
exit $rc
