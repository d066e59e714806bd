#!/usr/bin/env bash
# Runs fault_test.exe against two emulated displays of the private prefix: "main" on COM12,
# whose behaviour each case sets through its control file, and "doomed" on COM13, which one
# case stops outright.
# Usage: run-fault-tests.sh EMULATOR FAULT_TEST_EXE APP_EXE WORK_DIR [GTEST OPTION...]
# (under scripts/with-wine.sh, which provides the prefix, the wineserver and the X display).
set -eu
[ $# -ge 4 ] || { echo "usage: $0 EMULATOR FAULT_TEST_EXE APP_EXE WORK_DIR [GTEST OPTION...]" >&2; exit 2; }
emulator=$1 test_exe=$2 app=$3 work=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  echo "run-fault-tests: WINEPREFIX is not set; run the tests under scripts/with-wine.sh" >&2
  exit 125
fi
if [ ! -x "$emulator" ]; then
  echo "run-fault-tests: no display emulator at $emulator; build the native tree first" >&2
  exit 1
fi
dos="$WINEPREFIX/dosdevices"
# A control file left from an earlier run would make this run's first command look old.
rm -rf "$work"
mkdir -p "$work" "$dos"
work=$(cd "$work" && pwd)

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_emulator() {
  local name=$1
  shift
  "$emulator" --log "$work/$name.log" --exit-with-parent "$@" \
    >"$work/$name.ready" 2>"$work/$name.err" </dev/null &
  pids+=($!)
}
start_emulator main --link "$dos/com12" --control "$work/main.control"
start_emulator doomed --link "$dos/com13"
doomed_pid=${pids[1]}
for name in main doomed; do
  for _ in $(seq 100); do grep -q '^ready' "$work/$name.ready" 2>/dev/null && break; sleep 0.05; done
  grep -q '^ready' "$work/$name.ready" || {
    echo "run-fault-tests: emulator $name did not start" >&2; cat "$work/$name.err" >&2; exit 1; }
done

export LDT_APP="$app" LDT_FAULT_DIR="$work" LDT_FAULT_HELPER="$here/line-helper.sh"
export LDT_FAULT_DOOMED_PID="$doomed_pid"
set +e
"$here/../../scripts/wine-exec.sh" "$test_exe" "$@"
rc=$?
set -e
[ $rc -eq 0 ] || echo "run-fault-tests: failed ($rc); emulator logs kept in $work" >&2
exit $rc
