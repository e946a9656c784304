#!/usr/bin/env bash
# ctest's emulator for the Windows builds: runs a Windows program under Wine.
# Each build tree has its own Wine prefix, so builds never share state with
# each other or with the user's ~/.wine.
set -euo pipefail

program=${1:?usage: wine-run.sh program.exe [arguments...]}
tree=$(cd "$(dirname "$program")" && pwd)
while [ "$tree" != / ] && [ ! -f "$tree/CMakeCache.txt" ]; do
  tree=$(dirname "$tree")
done
if [ ! -f "$tree/CMakeCache.txt" ]; then
  echo "wine-run.sh: $program is not inside a build tree" >&2
  exit 2
fi

if ! command -v wine >/dev/null 2>&1; then
  if [ -n "${CI:-}" ]; then
    echo "wine-run.sh: Wine is not installed (scripts/install-deps.sh windows)" >&2
    exit 1
  fi
  echo "wine-run.sh: skipped: Wine is not installed (scripts/install-deps.sh windows)" >&2
  exit 77
fi

# A kernel without 32-bit support cannot start the wine launcher, itself a
# 32-bit program; 64-bit Windows programs (PE32+, machine 0x8664) still run
# under wine64 directly.
launcher=wine
if ! wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ] &&
  head -c 4096 "$program" | LC_ALL=C grep -aqP 'PE\x00\x00\x64\x86'; then
  launcher=/usr/lib/wine/wine64
fi

export WINEPREFIX="$tree/wineprefix"
export WINEDEBUG=-all
# Mono and Gecko are never needed; without this the first start asks for them.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Tests run in parallel; only one of them may make the prefix.
if [ ! -f "$WINEPREFIX/.register-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.register-ready" ]; then
      "$launcher" wineboot --init >/dev/null 2>&1
      touch "$WINEPREFIX/.register-ready"
    fi
  ) 9>"$tree/wineprefix.lock"
fi

exec "$launcher" "$@"
