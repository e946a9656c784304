#!/usr/bin/env bash
# A packager's build of the library alone: no tests, no tools, default
# options (warnings not fatal), with the test and tool dependencies (OpenSSL,
# GoogleTest, Google Benchmark, SQLite) hidden from CMake, so that any of them
# still being required fails here.
# Then `--component Runtime` must install the shared library and nothing else.
# usage: library-only-build.sh [WORK_DIR]
set -euo pipefail
source=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$(mktemp -d)}
mkdir -p "$work"

cmake -S "$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DREGISTER_BUILD_TESTS=OFF -DREGISTER_BUILD_TOOLS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
# GMP and SQLite may be found by plain find_library calls, and libpq and
# cpp-httplib through pkg-config, which leave their trace in the cache.
if grep -E -i '^(gmp|openssl|gtest|benchmark|sqlite|libpq|httplib|pkg_config)[a-z0-9_]*:' \
  "$work/build/CMakeCache.txt"; then
  echo "FAIL: the library-only build looked for a test or tool dependency (above)"
  exit 1
fi
cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
cmake --install "$work/build" --prefix "$work/runtime" --component Runtime >/dev/null
installed=$(cd "$work/runtime" && find . -type f -printf '%P\n' -o -type l -printf '%P\n' | sort)
if grep -v -E '^lib/libregister\.so\.[0-9.]+$' <<<"$installed"; then
  echo "FAIL: the Runtime component installed more than the library (above)"
  exit 1
fi
[ -n "$installed" ] || { echo "FAIL: the Runtime component installed nothing"; exit 1; }
echo "PASS: library-only build without test or tool dependencies; Runtime installs: $(echo $installed)"
