#!/usr/bin/env bash
# Builds the libFuzzer harnesses (the fuzz preset: clang 14, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a bounded time from its
# seed corpus. Fails on the first crash, leak, hang or wrong answer, and keeps
# the input that found it.
#
#   scripts/fuzz-smoke.sh [seconds per harness]     (default 12)
#
# FUZZ_BUILD_DIR  build directory (default build/fuzz)
# FUZZ_KEEP       directory that keeps the inputs found, one folder per
#                 harness (default: a scratch directory, removed at the end)
# FUZZ_HARNESSES  space-separated subset of the harnesses to run
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-12}
build=${FUZZ_BUILD_DIR:-build/fuzz}
harnesses=${FUZZ_HARNESSES:-$(ls fuzz/corpus)}

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target fuzzers -j2 >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
keep=${FUZZ_KEEP:-$scratch/found}
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

status=0
printf '%-26s %12s %10s %8s %s\n' harness executions exec/s cov result
for harness in $harnesses; do
  mkdir -p "$keep/$harness"
  log=$scratch/$harness.log
  result=ok
  # The first directory receives what the run finds; the seeds are only read.
  if ! "$build/fuzz/fuzz_$harness" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$harness-" \
      "$keep/$harness" "fuzz/corpus/$harness" >"$log" 2>&1; then
    result=FAILED
    status=1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  printf '%-26s %12s %10s %8s %s\n' "$harness" "${executions:-?}" "${rate:-?}" "${coverage:-?}" \
    "$result"
  if [ "$result" != ok ]; then
    grep -vE '^(#[0-9]|")' "$log" | tail -40
    echo "inputs that failed are kept in $artifacts"
  fi
done
exit $status
