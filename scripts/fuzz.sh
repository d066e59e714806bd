#!/usr/bin/env bash
# Usage: fuzz.sh [SECONDS]   (default 60)
# Builds the fuzz target with clang, replays the seed corpus, then fuzzes for SECONDS.
# The working corpus lives in build/fuzz/corpus and grows from run to run.
. "$(dirname "$0")/lib.sh"
cd "$ldt_root"
seconds="${1:-60}"

ldt_build fuzz build/fuzz fuzz_test_run
target=build/fuzz/tests/fuzz/fuzz_test_run

# The seeds are kept as hex text; libFuzzer wants the raw bytes.
seeds=build/fuzz/seeds
corpus=build/fuzz/corpus
mkdir -p "$seeds" "$corpus"
for f in tests/fuzz/seeds/*.hex; do
  python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(open(sys.argv[1]).read()))' \
    "$f" >"$seeds/$(basename "$f" .hex)"
done

echo "fuzz: replaying the seeds"
"$target" -runs=0 "$seeds"
echo "fuzz: fuzzing for ${seconds} s"
"$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=8192 \
  -timeout=10 -artifact_prefix=build/fuzz/ "$corpus" "$seeds" 2>&1 | tee build/fuzz/last-run.log | grep -E 'DONE|stat::|==|SUMMARY' || true
# A crash makes libFuzzer exit non-zero and leaves crash-* files; pipefail would hide it
# behind grep, so check the log.
if grep -qE 'ERROR: (libFuzzer|AddressSanitizer|UndefinedBehaviorSanitizer)|invariant broken|runtime error' build/fuzz/last-run.log; then
  ldt_die "FAILED: libFuzzer found a fault" build/fuzz/last-run.log
fi
echo "fuzz: no invariant broken"
