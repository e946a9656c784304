#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every
# configuration the project supports on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/check-format.sh

for preset in dev asan local tsan; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset"
done

echo "=== library-only build (what a packager builds) ==="
rm -rf build/library-only
tests/packaging/library-only-build.sh build/library-only

# Robustness runs beyond the suites above (docs/robustness.md): the directory
# of 65,535 dead DBProxies, once and under the sanitizers; the end-to-end
# tests under valgrind; a short run of every fuzz harness.
echo "=== asan: slow robustness tests ==="
REGISTER_RUN_SLOW_TESTS=1 ctest --preset asan -R SixtyFiveThousand
echo "=== valgrind: end-to-end tests ==="
valgrind --quiet --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible build/local/tests/e2e/e2e_tests --gtest_brief=1
echo "=== fuzz smoke ==="
scripts/fuzz-smoke.sh

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
  echo "=== $preset ==="
  reason=$windowsSkipped
  if [ -z "$reason" ] && ! wine --version >/dev/null 2>&1; then
    if [ "$preset" = mingw-i686 ] && [ -n "$kernelWithout32Bit" ]; then
      reason=$kernelWithout32Bit
    elif [ "$preset" = mingw-i686 ] || ! /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
      reason="Wine is installed but does not start"
    fi
  fi
  if [ -n "$reason" ]; then
    # What can be built still is, so that a compile error never hides
    # behind a test run that could not start.
    if [ -z "$windowsSkipped" ]; then
      cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"
    fi
    echo "SKIPPED: the tests of $preset: $reason"
    skippedPresets+=("$preset: $reason")
    continue
  fi
  started=$SECONDS
  cmake --workflow --preset "$preset"
  echo "$preset took $((SECONDS - started)) s"
done
if [ ${#skippedPresets[@]} -gt 0 ]; then
  printf 'Windows tests SKIPPED: %s\n' "${skippedPresets[@]}"
  if [ -n "${CI:-}" ]; then
    for skipped in "${skippedPresets[@]}"; do
      if [ "$skipped" != "mingw-i686: $kernelWithout32Bit" ] || [ -z "$kernelWithout32Bit" ]; then
        echo "Windows tests cannot be skipped on CI" >&2
        exit 1
      fi
    done
  fi
fi
