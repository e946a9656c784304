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

export WINEPREFIX="$tree/wineprefix"
export WINEDEBUG=-all
# Mono and Gecko are never needed; without this the first start asks for them.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Tests run in parallel; only one of them may make the prefix.
if [ ! -f "$WINEPREFIX/.register-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.register-ready" ]; then
      wine wineboot --init >/dev/null 2>&1
      touch "$WINEPREFIX/.register-ready"
    fi
  ) 9>"$tree/wineprefix.lock"
fi

exec wine "$@"
