#!/usr/bin/env bash
# The whole test run: installs what is missing, builds every tree, runs every test.
# Windows tests run in build/win32 under Wine's 32-bit loader, or, on a machine that runs no
# 32-bit programs (or with LDT_FORCE_WIN64=1), in build/win64 under its 64-bit loader; the
# 32-bit product is built and checked on every machine. Each step's output is kept in
# build/test-logs; a failing step is named, with where to look.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=wine-env.sh
. scripts/wine-env.sh
logs=build/test-logs
mkdir -p "$logs"
rm -f "$logs"/*.log
started=$SECONDS

# NAME LOG HINT COMMAND...: runs COMMAND, its output both shown and kept in LOG.
step() {
  local name=$1 log=$logs/$2.log hint=$3 rc=0 began=$SECONDS
  shift 3
  echo "== test: $name"
  "$@" 2>&1 | tee "$log" || rc=$?
  if [ $rc -ne 0 ]; then
    echo "test: FAILED at \"$name\" (exit $rc); its output is above and in $log${hint:+; $hint}" >&2
    exit $rc
  fi
  echo "== test: $name: done in $((SECONDS - began)) s"
}

step "installing packages" install "" bash scripts/install-deps.sh

# The portable core and the tools, natively, then again under ASan and UBSan.
step "native build and tests" native "" cmake --workflow --preset native
step "sanitizer build and tests" sanitize "" cmake --workflow --preset sanitize

# The test run and the release under libFuzzer: the seeds, then a short bounded fuzzing run.
step "fuzzing" fuzz "libFuzzer's own log: build/fuzz/last-run.log" \
  bash scripts/fuzz.sh "${LDT_FUZZ_SECONDS:-60}"

ldt_probe_windows_build
[ -z "$LDT_WINE_NOTE" ] || echo "test: $LDT_WINE_NOTE"
windows=$LDT_WINDOWS_BUILD
wine_hint="Wine's logs: build/$windows/wine-logs; an emulator's kept run: build/$windows/emulator-runs and the e2e/work folders under build/$windows/tests"

# The product, the 32-bit exe: built on every machine. Where it can't run, only the exe itself.
if [ "$windows" = win32 ]; then
  step "32-bit Windows build" win32-build "" \
    sh -c 'cmake --preset win32 && cmake --build --preset win32'
else
  step "32-bit Windows build (the product only)" win32-build "" \
    sh -c 'cmake --preset win32 && cmake --build --preset win32 --target LineDisplayTest'
  step "64-bit Windows build" win64-build "" \
    sh -c 'cmake --preset win64 && cmake --build --preset win64'
fi

# The release zip: the exe just built, the guide as one HTML page, the checksums.
step "release package" package "" bash scripts/package.sh --check

# Each test runs once: these run real programs against real time, and a test that fails once has found
# something.
step "Windows tests ($windows build)" windows "$wine_hint" \
  scripts/with-wine.sh "build/$windows" ctest --preset "$windows"

# One closing line for the whole run, from the ctest summaries of the steps above.
python3 - "$logs" "$windows" "$((SECONDS - started))" <<'PYTHON'
import re, sys, pathlib
logs, windows, seconds = pathlib.Path(sys.argv[1]), sys.argv[2], int(sys.argv[3])
passed = failed = 0
parts = []
for name in ("native", "sanitize", "windows"):
    text = (logs / (name + ".log")).read_text(errors="replace")
    m = re.findall(r"tests passed, (\d+) tests? failed out of (\d+)", text)
    if not m:
        sys.exit("test: no ctest summary in %s/%s.log" % (logs, name))
    f, total = map(int, m[-1])
    passed += total - f
    failed += f
    parts.append("%s %d" % (windows if name == "windows" else name, total))
print("test: Windows tests ran in build %s; ctest programs and cases: %s; fuzzing passed; %d s"
      % (windows, ", ".join(parts), seconds))
print("tests: %d passed, %d failed" % (passed, failed))
PYTHON
