#!/usr/bin/env bash
# Installs a build into a fresh prefix and builds the consumer program against
# that prefix twice, once with find_package(register CONFIG) and once with
# pkg-config, then runs both against the test service.
# usage: install-and-consume.sh BUILD_DIR CONSUMER_DIR EXPECTED [options]
#   EXPECTED  0: a test service runs on the build's directory endpoints and
#             both programs must register; 2: the build's directory servers
#             never resolve, so both must fail the lookup; none: build only
#   --service PROGRAM    the test service (default: the installed one)
#   --sanitizers LIST    the build's -fsanitize= list, for the consumers too
#   --toolchain FILE     a cross build's tool chain; the consumers then run
#   --emulator PROGRAM   under this emulator, from inside BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd) consumerSource=$(cd "$2" && pwd) expected=$3
shift 3
service="" sanitizers="" toolchain="" emulator=""
while [ $# -gt 0 ]; do
  case $1 in
  --service) service=$2 ;;
  --sanitizers) sanitizers=$2 ;;
  --toolchain) toolchain=$2 ;;
  --emulator) emulator=$2 ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done

work=$(mktemp -d)
runDir=$work
if [ -n "$emulator" ]; then
  # The emulator keeps its state per build tree and finds the tree from the
  # program's directory.
  runDir=$(mktemp -d "$build/packaging-run.XXXXXX")
fi
servicePid=""
cleanUp() {
  if [ -n "$servicePid" ]; then
    kill -TERM "$servicePid" 2>/dev/null || true
    wait "$servicePid" 2>/dev/null || true
  fi
  rm -rf "$work" "$runDir"
}
trap cleanUp EXIT
fail() {
  echo "FAIL: $*"
  for file in "$work"/*.out; do
    [ -e "$file" ] && { echo "--- $(basename "$file")"; cat "$file"; }
  done
  exit 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.out" || fail "cmake --install failed"
installedPackage=$(dirname "$(find "$prefix" -name registerConfig.cmake)")

flags=()
if [ -n "$sanitizers" ]; then
  flags=("-fsanitize=$sanitizers" -fno-omit-frame-pointer)
fi
cmakeArgs=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS=${flags[*]}")
if [ -n "$toolchain" ]; then
  # The tool chain confines package searches to the mingw-w64 root, so a
  # prefix elsewhere is named directly, as a cross-building team would.
  cmakeArgs+=("-DCMAKE_TOOLCHAIN_FILE=$toolchain"
    "-Dregister_DIR=$installedPackage")
fi
cmake -S "$consumerSource" -B "$work/by-cmake" "-DCMAKE_PREFIX_PATH=$prefix" "${cmakeArgs[@]}" \
  >"$work/cmake-configure.out" 2>&1 || fail "the consumer's configure failed"
packageDir=$(sed -n 's/^register_DIR:[A-Z]*=//p' "$work/by-cmake/CMakeCache.txt")
[ "$packageDir" = "$installedPackage" ] ||
  fail "find_package found the package in '$packageDir', not in $prefix"
cmake --build "$work/by-cmake" >"$work/cmake-build.out" 2>&1 || fail "the consumer's build failed"

# The same compiler, told everything by register.pc alone.
compiler=$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$work"/by-cmake/CMakeFiles/*/CMakeCCompiler.cmake)
pcDir=$(dirname "$(find "$prefix" -name register.pc)")
export PKG_CONFIG_LIBDIR=$pcDir PKG_CONFIG_PATH=""
[ "$(pkg-config --modversion register)" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
  fail "register.pc has another version than the build"
read -ra pcFlags <<<"$(pkg-config --cflags --libs register)"
linkFlags=()
if [ -z "$toolchain" ]; then
  linkFlags=("-Wl,-rpath,$(pkg-config --variable=libdir register)")
fi
mkdir -p "$work/by-pkg-config"
"$compiler" "${flags[@]}" -o "$work/by-pkg-config/consumer" "$consumerSource/consumer.c" \
  "${pcFlags[@]}" "${linkFlags[@]}" >"$work/pkg-config-build.out" 2>&1 ||
  fail "the consumer's build with pkg-config failed"

consumers=("$work/by-cmake/consumer" "$work/by-pkg-config/consumer")
if [ -z "$toolchain" ]; then
  for consumer in "${consumers[@]}"; do
    # The soname is what the program asks the loader for. (Whole outputs
    # into grep: an early exit of grep -q would fail the pipe.)
    grep -qE 'NEEDED +libregister\.so\.1$' <<<"$(objdump -p "$consumer")" ||
      fail "$consumer does not ask for libregister.so.1"
    loaded=$(ldd "$consumer")
    grep -qF "libregister.so.1 => $prefix/" <<<"$loaded" ||
      fail "$consumer does not load the installed library: $loaded"
  done
fi
if [ "$expected" = none ]; then
  echo "PASS: installed, built both ways (not run: this build's directory servers are real)"
  exit 0
fi

text="packaging-check"
if [ "$expected" = 0 ]; then
  "${service:-$prefix/bin/register-test-service}" \
    --directory 127.0.0.1:6003 --directory 127.0.0.2:6003 --dbproxy 127.0.0.1:0 \
    --result "Installed and found" --verbose >"$work/service.out" 2>&1 &
  servicePid=$!
  for _ in $(seq 100); do
    grep -qx ready "$work/service.out" && break
    kill -0 "$servicePid" 2>/dev/null || break
    sleep 0.1
  done
  grep -qx ready "$work/service.out" || fail "the test service did not start"
fi

for consumer in "${consumers[@]}"; do
  how=$(basename "$(dirname "$consumer")")
  status=0
  if [ -n "$emulator" ]; then
    cp "$consumer.exe" "$runDir/$how.exe"
    WINEPATH="$prefix/bin" "$emulator" "$runDir/$how.exe" "$text" >"$work/$how.out" 2>&1 ||
      status=$?
    # The emulator's code for "not installed here".
    [ "$status" != 77 ] || { cat "$work/$how.out"; exit 77; }
  else
    "$consumer" "$text" >"$work/$how.out" 2>&1 || status=$?
  fi
  [ "$status" = 0 ] || fail "$how: the consumer exited with $status"
  grep -q "^codes $expected $expected" "$work/$how.out" || fail "$how: expected code $expected twice"
  if [ "$expected" = 0 ]; then
    grep -qF "result Installed and found" "$work/$how.out" || fail "$how: no result string"
  fi
done
if [ "$expected" = 0 ]; then
  registrations=$(grep -cF "text \"$text\\x00\"" "$work/service.out" || true)
  [ "$registrations" = 4 ] || fail "the service decoded $registrations registrations, not 4"
fi
echo "PASS: installed, built both ways, both got code $expected"
