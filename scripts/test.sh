#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every
# configuration the project supports on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in dev asan local; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset"
done
