#!/usr/bin/env bash
# Builds the bench preset and measures register-test-service as an operator
# runs it: the load benchmark (16 clients, SQLite, 1024 and 2048 bits) and
# the soak run (its resident set size after 1,000 and 20,000 registrations),
# and the replay flood.
# The figures in docs/performance.md come from this script.
#
#   bench/service/measure-service.sh [SOAK CHECKPOINTS...]
#
# REGISTER_BENCH_DIR  build directory (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${REGISTER_BENCH_DIR:-build/bench}
scripts/install-deps.sh
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" -j2 --target service_load_bench service_soak service_replay_bench >/dev/null

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/service/service_load_bench" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true
echo
"$build/bench/service/service_soak" "$@"
echo
"$build/bench/service/service_replay_bench" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
