#!/usr/bin/env bash
# Compiles the public header alone, with every warning an error, as C89, C99,
# C++98 and C++11 and later: hosts of every age include it.
# usage: check-header-modes.sh <include folder>
set -euo pipefail
include=$1
status=0
source='#include <register/register.h>
int probe(void) { return REGISTER_RESULT_DEADLINE_EXPIRED + REGISTER_VERSION_MAJOR; }'
for mode in "cc -x c -std=c89" "cc -x c -std=c99" "c++ -x c++ -std=c++98" \
  "c++ -x c++ -std=c++11" "c++ -x c++ -std=c++20"; do
  # shellcheck disable=SC2086
  if ! $mode -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I "$include" - <<<"$source"; then
    echo "FAIL: the header does not compile with: $mode"
    status=1
  fi
done
exit $status
