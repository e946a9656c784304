#!/usr/bin/env bash
# Builds the C, C#, Python and Pascal samples in samples/ the way an
# integrator would and runs each twice against test services on loopback:
# once registering, with the directory from REGISTER_DIRECTORY, where it must
# exit 0 with code 0 and the service's result string, and the service must
# have decoded its text and numbers; once against a DBProxy that never
# answers, with the directory from --directory and --cancel-after, where it
# must come back with REGISTER_RESULT_CANCELLED and exit non-zero.
# usage: run-samples.sh SOURCE_DIR BUILD_DIR LIBRARY SERVICE
set -euo pipefail
source=$1 build=$2 library=$3 service=$4
libraryDir=$(dirname "$library")

missing=()
for tool in cc python3 mcs mono fpc; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "missing: ${missing[*]} (scripts/install-deps.sh installs them)"
  # A CI machine is meant to have every tool, so a gap there is a failure.
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi

# shellcheck source=../test-services.sh
source "$(dirname "$0")/../test-services.sh"

mkdir -p "$build/c" "$build/csharp" "$build/pascal"
cc -std=c99 -Wall -Wextra -pedantic -Werror -I"$source/include" -o "$build/c/register_sample" \
  "$source/samples/c/register_sample.c" -L"$libraryDir" -lregister -pthread
mcs -warnaserror -out:"$build/csharp/RegisterSample.exe" "$source/samples/csharp/RegisterSample.cs" >/dev/null
cp "$source/samples/csharp/RegisterSample.exe.config" "$build/csharp/"
fpc -Sew -FU"$build/pascal" -Fl"$libraryDir" -o"$build/pascal/register_sample" \
  "$source/samples/pascal/register_sample.pas" >"$work/fpc.log" || fail "fpc failed"

samples=(c csharp pascal python)
# runSample NAME ARGS...: runs one sample as its language runs programs.
runSample() {
  local name=$1
  shift
  case $name in
  c) "$build/c/register_sample" "$@" ;;
  csharp) mono "$build/csharp/RegisterSample.exe" "$@" ;;
  pascal) "$build/pascal/register_sample" "$@" ;;
  python) python3 "$source/samples/python/register_sample.py" --library "$library" "$@" ;;
  esac
}
export LD_LIBRARY_PATH=$libraryDir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
unset REGISTER_CONFIG REGISTER_DIRECTORY REGISTER_LOG_FILE

startService accepting --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0 --result "Welcome"
directory=$(directoryOf accepting)
for name in "${samples[@]}"; do
  status=0
  REGISTER_DIRECTORY=$directory runSample "$name" "$name@example.com" 5 0 1 0 \
    >"$work/$name.out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$name exited with $status"
  grep -q '^code: 0 (' "$work/$name.out" || fail "$name printed no code 0"
  grep -qxF 'result: "Welcome"' "$work/$name.out" || fail "$name printed no result string"
  grep -q '^progress: ' "$work/$name.out" || fail "$name printed no progress line"
  grep -F "text \"$name@example.com\\x00\"" "$work/accepting.service" |
    grep -qF 'setting 5; flags 0 1 0;' || fail "the service did not decode the $name registration"
done
! grep -q 'problem:' "$work/accepting.service" || fail "the service found problems in a record"
# A path the ANSI code page would mangle: the C# sample passes it as UTF-8.
logFile="$work/Jürgen.log"
runSample csharp --directory "$directory" --log-file "$logFile" >"$work/csharp-log.out" 2>&1 ||
  fail "csharp with a log file: $(cat "$work/csharp-log.out")"
grep -q 'DLL_RegisterCallRun code 0 ' "$logFile" || fail "csharp wrote no record to $logFile"
stopServices

startService stalling --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0 --dbproxy-mode stall-reply
directory=$(directoryOf stalling)
for name in "${samples[@]}"; do
  status=0
  runSample "$name" --directory "$directory" --cancel-after 500 \
    >"$work/$name-cancel.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "$name exited with $status after a cancel"
  grep -q '^code: 5 (' "$work/$name-cancel.out" || fail "$name was not cancelled"
done
echo "PASS: ${samples[*]} registered and were cancelled"
