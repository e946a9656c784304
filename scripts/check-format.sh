#!/usr/bin/env bash
# Fails when a tracked C or C++ file differs from what clang-format makes of
# it (the repository's .clang-format); `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.c' '*.h' '*.cpp'
else
  # An exported tree without git: every source folder of the project.
  find include src tests tools samples fuzz bench \( -name '*.c' -o -name '*.h' -o -name '*.cpp' \) -print0
fi | xargs -0 clang-format --dry-run -Werror
echo "format check: every tracked C and C++ file is clang-formatted"
