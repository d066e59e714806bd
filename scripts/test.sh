#!/usr/bin/env bash
# The whole test run: installs what is missing, builds every tree, runs every test.
# Windows tests run in build/win32 under Wine's 32-bit loader, or, on a machine that runs no
# 32-bit programs (or with LDT_FORCE_WIN64=1), in build/win64 under its 64-bit loader; the
# 32-bit product is built and checked on every machine. Each step's output is kept in
# build/test-logs; a failing step is named, with where to look.
. "$(dirname "$0")/lib.sh"
cd "$ldt_root"
logs=build/test-logs
mkdir -p "$logs"
rm -f "$logs"/*.log
started=$SECONDS
LDT_STEP_SHOW=1 # every step shown as it runs, and kept

ldt_step "installing packages" $logs/install.log bash scripts/install-deps.sh

# The portable core and the tools, natively, then again under ASan and UBSan; two tests at a
# time (each case is a process of its own, and most of their time is starting it).
ldt_step "native build and tests" $logs/native.log cmake --workflow --preset native
ldt_step "sanitizer build and tests" $logs/sanitize.log cmake --workflow --preset sanitize

ldt_trees # says why, when the 64-bit path is taken
windows=$LDT_WINDOWS_BUILD

# The product, the 32-bit exe: built on every machine. Where it can't run, only the exe itself.
if [ "$windows" = win32 ]; then
  ldt_step "32-bit Windows build" $logs/win32-build.log ldt_build win32 build/win32
else
  ldt_step "32-bit Windows build (the product only)" $logs/win32-build.log \
    ldt_build win32 build/win32 LineDisplayTest
  ldt_step "64-bit Windows build" $logs/win64-build.log ldt_build win64 build/win64
fi

# The release zip: the exe just built, the guide as one HTML page, the checksums.
ldt_step "release package" $logs/package.log bash scripts/package.sh --check

# The test run, the release and the stand-in's display model under libFuzzer: their build, the
# seeds, then a short bounded fuzzing run. It keeps one core busy for its minute; the Windows
# tests mostly wait on real time.
ldt_step_hint="libFuzzer's own logs: build/fuzz/last-run-*.log"
ldt_step_behind "fuzzing" $logs/fuzz.log bash scripts/fuzz.sh "${LDT_FUZZ_SECONDS:-60}"
# Each test runs once: these run real programs against real time, and a test that fails once
# has found something. Two at a time (the presets' jobs), as their locks allow: those that work
# windows or the port settings take turns, the others (the serial run's 18 s) go beside them.
ldt_step_hint="Wine's logs: build/$windows/wine-logs; the displays' logs of a failed test: build/$windows/display-runs"
ldt_step "Windows tests ($windows build)" $logs/windows.log \
  scripts/with-wine.sh "build/$windows" ctest --preset "$windows"
ldt_step_join

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
