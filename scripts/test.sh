#!/usr/bin/env bash
# The whole test run: installs what is missing, builds every tree, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# The portable core and the tools, natively, then again under ASan and UBSan.
cmake --workflow --preset native
cmake --workflow --preset sanitize

# The test run and the release under libFuzzer: the seeds, then a short bounded fuzzing run.
bash scripts/fuzz.sh "${LDT_FUZZ_SECONDS:-60}"

# The Win32 tree: built with mingw-w64, its tests run under Wine with a private prefix.
cmake --preset win32
cmake --build --preset win32
# These run real programs against real time under Wine: a test that fails is run once more,
# and ctest's output says so; a fault that repeats still fails the run.
scripts/with-wine.sh build/win32 ctest --preset win32 --repeat until-pass:2
