#!/usr/bin/env bash
# Makes the build's release archive with cpack and compares what it lists
# with the expected listing (lines "COMPONENT path" under the archive's top
# directory; a symbolic link as "path -> target"). A ZIP's DLL and
# module-definition file must also be those of the build's architecture.
# usage: check-archive.sh CPACK BUILD_DIR EXPECTED_LISTING [OBJDUMP DLL_FORMAT]
set -euo pipefail
cpack=$1 build=$2 expectedListing=$3 objdump=${4:-} dllFormat=${5:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }

shopt -s nullglob
archives=("$work"/*.tar.gz "$work"/*.zip)
if [ ${#archives[@]} -ne 1 ]; then
  echo "FAIL: expected one archive, cpack made: $(ls "$work")"
  exit 1
fi
archive=${archives[0]}
top=$(basename "$archive")
top=${top%.tar.gz}
top=${top%.zip}

case $archive in
*.tar.gz)
  # Names and link targets from the verbose listing, directories left out.
  listing=$(tar tvzf "$archive" | sed -E 's/^([^ ]+ +){5}//' | grep -v '/$')
  ;;
*.zip) listing=$(unzip -Z1 "$archive" | grep -v '/$') ;;
esac
strayed=$(grep -v "^$top/" <<<"$listing" || true)
if [ -n "$strayed" ]; then
  echo "FAIL: entries outside $top/:"
  echo "$strayed"
  exit 1
fi
if ! diff -u <(grep -v '^#' "$expectedListing" | cut -d' ' -f2- | sort) <(sed "s|^$top/||" <<<"$listing" | sort) \
  >"$work/difference"; then
  echo "FAIL: $(basename "$archive") lists other files than expected (- expected, + listed):"
  cat "$work/difference"
  exit 1
fi

if [ -n "$objdump" ]; then
  unzip -q "$archive" -d "$work/unpacked"
  format=$("$objdump" -f "$work/unpacked/$top/bin/register.dll" | sed -n 's/.*file format //p')
  [ "$format" = "$dllFormat" ] || { echo "FAIL: register.dll is $format, not $dllFormat"; exit 1; }
  # Only 32-bit Windows decorates __stdcall names.
  decorated=$(grep -c '^ *DLL_RegisterUser[A-Za-z]*@[0-9]' "$work/unpacked/$top/lib/register.def" || true)
  wanted=0
  [ "$dllFormat" != pei-i386 ] || wanted=2
  [ "$decorated" = "$wanted" ] ||
    { echo "FAIL: register.def has $decorated decorated names, not $wanted"; exit 1; }
fi
echo "PASS: $(basename "$archive"), $(wc -l <<<"$listing") files as expected"
