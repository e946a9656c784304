#!/usr/bin/env bash
# Installs each install component of a build on its own and compares what it
# put down with that component's lines of the expected listing (the one the
# archive check reads: "COMPONENT path", links as "path -> target"). A file
# in the wrong component, or in none, shows up as a difference.
# usage: check-components.sh BUILD_DIR EXPECTED_LISTING
set -euo pipefail
build=$1 expectedListing=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for component in Runtime Development Tools; do
  prefix=$work/$component
  mkdir -p "$prefix"
  cmake --install "$build" --prefix "$prefix" --component "$component" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; exit 1; }
  installed=$(cd "$prefix" && find . -type f -printf '%P\n' -o -type l -printf '%P -> %l\n' | sort)
  expected=$(awk -v component="$component" '$1 == component { $1 = ""; sub(/^ /, ""); print }' \
    "$expectedListing" | sort)
  if [ "$installed" != "$expected" ]; then
    echo "FAIL: component $component (- expected, + installed):"
    diff -u <(echo "$expected") <(echo "$installed") | tail -n +3
    failed=1
  else
    echo "PASS: component $component, $(grep -c . <<<"$expected" || true) files"
  fi
done
exit $failed
