#!/usr/bin/env bash
# Usage: fuzz.sh [SECONDS]   (default 60)
# Builds the fuzz targets with clang, replays their seed corpora, then fuzzes for SECONDS in
# all: two thirds for the test run and the release, one third for the stand-in's display model.
# The working corpora live in build/fuzz/corpus-TARGET and grow from run to run.
. "$(dirname "$0")/lib.sh"
cd "$ldt_root"
seconds="${1:-60}"

ldt_build fuzz build/fuzz fuzz_test_run fuzz_display_model

# TARGET SEEDS SECONDS: one target's seeds (hex text, which libFuzzer wants as raw bytes), then
# SECONDS of fuzzing. A crash makes libFuzzer exit non-zero and leaves crash-* files; pipefail
# would hide it behind grep, so the log is checked.
fuzz_one() {
  local target=$1 hex_seeds=$2 time=$3
  local exe=build/fuzz/tests/fuzz/$target seeds=build/fuzz/seeds-$target corpus=build/fuzz/corpus-$target
  local log=build/fuzz/last-run-$target.log
  mkdir -p "$seeds" "$corpus"
  for f in "$hex_seeds"/*.hex; do
    python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(open(sys.argv[1]).read()))' \
      "$f" >"$seeds/$(basename "$f" .hex)"
  done
  echo "fuzz: $target: replaying the seeds"
  "$exe" -runs=0 -artifact_prefix=build/fuzz/ "$seeds"
  echo "fuzz: $target: fuzzing for ${time} s"
  "$exe" -max_total_time="$time" -print_final_stats=1 -max_len=8192 -rss_limit_mb=1024 \
    -timeout=10 -artifact_prefix=build/fuzz/ "$corpus" "$seeds" 2>&1 | tee "$log" |
    grep -E 'DONE|stat::|==|SUMMARY' || true
  if grep -qE 'ERROR: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer)|invariant broken|runtime error' "$log"; then
    ldt_die "FAILED: libFuzzer found a fault in $target" "$log"
  fi
}

fuzz_one fuzz_test_run tests/fuzz/seeds $((seconds * 2 / 3))
fuzz_one fuzz_display_model tests/fuzz/model-seeds $((seconds - seconds * 2 / 3))
echo "fuzz: no invariant broken"
