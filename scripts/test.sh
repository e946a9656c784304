#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every
# configuration the project supports on this machine. A failing configuration
# does not stop the others; the command ends with one line per configuration
# (passed, FAILED or SKIPPED, with its count of tests and, for a skip, the
# reason) and fails if any configuration failed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh i386

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
summary=()
anyFailed=0
# The tests of the PostgreSQL store start servers of their own; on a machine
# without PostgreSQL they skip themselves, which CI does not accept.
if [ -n "${CI:-}" ]; then
  export REGISTER_REQUIRE_POSTGRES=1
fi

# Counters: each reads one configuration's output and prints
# "TOTAL SKIPPED FAILED", or nothing when it finds no count.
ctestCounts() {
  local total failed skipped
  total=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\2/p' "$1" |
    tail -n 1)
  failed=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\1/p' "$1" |
    tail -n 1)
  [ -n "$total" ] || return 0
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1" || true)
  echo "$total $skipped $failed"
}
gtestCounts() {
  local total failed skipped
  total=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran\..*/\1/p' "$1" | tail -n 1)
  [ -n "$total" ] || return 0
  failed=$(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below:.*/\1/p' "$1" | tail -n 1)
  skipped=$(sed -nE 's/^\[  SKIPPED \] ([0-9]+) tests?, listed below:.*/\1/p' "$1" | tail -n 1)
  echo "$total ${skipped:-0} ${failed:-0}"
}
fuzzCounts() {
  local total failed
  total=$(grep -cE ' (ok|FAILED)$' "$1" || true)
  failed=$(grep -cE ' FAILED$' "$1" || true)
  [ "$total" -gt 0 ] && echo "$total 0 $failed"
}
checkCounts() {
  grep -qE '^(PASS|FAIL)|format check:' "$1" && echo "1 0 $(grep -c '^FAIL' "$1" || true)"
}

# record NAME OUTCOME DETAIL
record() {
  summary+=("$(printf '%-28s %-8s %s' "$1" "$2" "$3")")
  if [ "$2" = FAILED ]; then anyFailed=1; fi
}

# runConfiguration NAME COUNTER COMMAND...: runs one configuration, its
# output shown and kept for the counter.
runConfiguration() {
  local name=$1 counter=$2
  shift 2
  echo "=== $name ==="
  local log=$logs/${name//[^A-Za-z0-9_.-]/_}.log started=$SECONDS status=0
  "$@" 2>&1 | tee "$log" || status=$?
  local took=$((SECONDS - started)) total skipped failed
  read -r total skipped failed <<<"$("$counter" "$log")" || true
  local counts="no tests ran"
  if [ -n "${total:-}" ]; then
    counts="$total test$([ "$total" = 1 ] || echo s)"
    [ "$skipped" = 0 ] || counts+=", $skipped skipped"
    [ "$failed" = 0 ] || counts+=", $failed failed"
  fi
  if [ "$status" -ne 0 ]; then
    record "$name" FAILED "$counts ($took s)"
  elif [ -z "${total:-}" ] || [ "$total" = "$skipped" ]; then
    # Nothing ran: never shown as passed.
    record "$name" SKIPPED "$counts: every test skipped itself ($took s)"
  else
    record "$name" passed "$counts ($took s)"
  fi
}

runConfiguration format checkCounts scripts/check-format.sh
for preset in dev asan local tsan; do
  runConfiguration "$preset" ctestCounts cmake --workflow --preset "$preset"
done

rm -rf build/library-only
runConfiguration "library-only build" checkCounts \
  tests/packaging/library-only-build.sh build/library-only

# Robustness runs beyond the suites above (docs/robustness.md): the directory
# of 65,535 dead DBProxies, once and under the sanitizers; the end-to-end
# tests under valgrind; a short run of every fuzz harness.
REGISTER_RUN_SLOW_TESTS=1 runConfiguration "asan: slow robustness" ctestCounts \
  ctest --preset asan -R SixtyFiveThousand
runConfiguration "valgrind: end-to-end" gtestCounts \
  valgrind --quiet --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible build/local/tests/e2e/e2e_tests --gtest_brief=1
runConfiguration "fuzz smoke" fuzzCounts scripts/fuzz-smoke.sh

# The 32-bit build, on every machine: natively where the kernel runs 32-bit
# programs, under qemu-i386 where it does not (cmake/linux-i386-run.sh decides
# per program; REGISTER_I386_RUNNER=qemu forces qemu), and its 65,535 dead
# DBProxies, which take about as long under qemu as under asan.
i386Runner=native
if [ "${REGISTER_I386_RUNNER:-}" = qemu ] ||
  { [ -z "${REGISTER_I386_RUNNER:-}" ] && ! /lib/ld-linux.so.2 --help >/dev/null 2>&1; }; then
  i386Runner=qemu-i386
fi
runConfiguration "linux-i386 ($i386Runner)" ctestCounts cmake --workflow --preset linux-i386
REGISTER_RUN_SLOW_TESTS=1 runConfiguration "linux-i386: slow robustness" ctestCounts \
  ctest --preset linux-i386 -R SixtyFiveThousand

# The Windows DLL, cross-built with mingw-w64 and tested under Wine. A machine
# that cannot have them reports the Windows tests as skipped, never as
# passed; CI must run them. The one exception is a kernel built without
# 32-bit support (some virtual machines): no 32-bit program can start there,
# the wine launcher included, so the 32-bit tests are built but not run, and
# the 64-bit tests run under wine64.
windowsSkipped=""
if ! scripts/install-deps.sh windows; then
  windowsSkipped="mingw-w64 and Wine could not be installed (scripts/install-deps.sh windows)"
fi
kernelWithout32Bit=""
if ! wineStart=$(wine --version 2>&1) && [[ $wineStart == *"Exec format error"* ]]; then
  kernelWithout32Bit="this kernel cannot execute 32-bit programs (Exec format error)"
fi
skippedPresets=()
for preset in mingw-i686 mingw-x86_64; do
  reason=$windowsSkipped
  if [ -z "$reason" ] && ! wine --version >/dev/null 2>&1; then
    if [ "$preset" = mingw-i686 ] && [ -n "$kernelWithout32Bit" ]; then
      reason=$kernelWithout32Bit
    elif [ "$preset" = mingw-i686 ] || ! /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
      reason="Wine is installed but does not start"
    fi
  fi
  if [ -z "$reason" ]; then
    runConfiguration "$preset" ctestCounts cmake --workflow --preset "$preset"
    continue
  fi
  echo "=== $preset ==="
  # What can be built still is, so that a compile error never hides behind a
  # test run that could not start.
  built=""
  if [ -z "$windowsSkipped" ]; then
    if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; then
      built="built; "
    else
      record "$preset" FAILED "the build failed (tests not run: $reason)"
      continue
    fi
  fi
  echo "SKIPPED: the tests of $preset: $reason"
  record "$preset" SKIPPED "${built}tests not run: $reason"
  skippedPresets+=("$preset: $reason")
done

# Every PostgreSQL a test started is stopped by the test, or by the kernel
# when the test died; one still running is a fault of the tests.
leftOver=$(pgrep -f 'register-postgres\.' || true)
if [ -n "$leftOver" ]; then
  record "throwaway PostgreSQL" FAILED "servers left running: $(echo $leftOver)"
  pkill -QUIT -f 'register-postgres\.' || true
fi
# A test the kernel killed leaves its server's folder behind.
rm -rf "${TMPDIR:-/tmp}"/register-postgres.*

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
if [ -n "${CI:-}" ]; then
  for skipped in "${skippedPresets[@]}"; do
    if [ "$skipped" != "mingw-i686: $kernelWithout32Bit" ] || [ -z "$kernelWithout32Bit" ]; then
      echo "Windows tests cannot be skipped on CI" >&2
      exit 1
    fi
  done
fi
exit "$anyFailed"
