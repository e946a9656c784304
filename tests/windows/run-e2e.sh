#!/usr/bin/env bash
# One registration scenario, played twice against fresh test services on
# loopback: by the Linux build's register-host with libregister.so, and by
# register-host.exe with register.dll under Wine. Both must end with the
# scenario's code and print the same bytes, and the services must have
# decoded the same record from both.
# usage: run-e2e.sh SCENARIO SERVICE NATIVE_HOST NATIVE_LIBRARY WINE_RUN WINDOWS_HOST WINDOWS_LIBRARY
set -euo pipefail
scenario=$1 service=$2 nativeHost=$3 nativeLibrary=$4 wineRun=$5 windowsHost=$6 windowsLibrary=$7

failContext=$scenario
# shellcheck source=../test-services.sh
source "$(dirname "$0")/../test-services.sh"

dbproxyPort() {
  sed -nE 's/^listening dbproxy [0-9.]+:([0-9]+) .*/\1/p' "$work/$1.service" | head -n 1
}

directories=(--directory 127.0.0.1:6003 --directory 127.0.0.2:6003)
# Starts the scenario's services for one run and sets the expected code.
setUp() {
  local run=$1
  case $scenario in
  success)
    startService "$run" "${directories[@]}" --dbproxy 127.0.0.1:0 --result "Welcome aboard"
    expected=0
    ;;
  directory-failover)
    # Nothing listens on the western endpoint, which is asked first.
    startService "$run" --directory 127.0.0.2:6003 --dbproxy 127.0.0.1:0
    expected=0
    ;;
  dbproxy-error)
    startService "$run" "${directories[@]}" --dbproxy 127.0.0.1:0 --dbproxy-status 0x8001
    expected=4
    ;;
  undecryptable-first-reply)
    # Equal ports, so the address decides: 127.0.0.1 is tried first.
    startService "$run-second" --dbproxy 127.0.0.2:0
    local port
    port=$(dbproxyPort "$run-second")
    startService "$run-first" "${directories[@]}" --dbproxy "127.0.0.1:$port" \
      --reply-cipher wrong-key --list "127.0.0.1:$port" --list "127.0.0.2:$port"
    expected=0
    ;;
  zero-address-entry)
    # 0.0.0.0 comes first in the walk, at the port where a working DBProxy
    # listens on 127.0.0.1; Linux and Wine would take it for this machine.
    startService "$run-second" --dbproxy 127.0.0.2:0
    local port
    port=$(dbproxyPort "$run-second")
    startService "$run-local" "${directories[@]}" --dbproxy "127.0.0.1:$port" \
      --list "0.0.0.0:$port" --list "127.0.0.2:$port"
    expected=0
    ;;
  *) fail "unknown scenario" ;;
  esac
}

# play RUN HOST...: one registration of "a", setting 3, flags 1 0 1.
play() {
  local run=$1
  shift
  setUp "$run"
  local code=0
  "$@" a 3 1 0 1 >"$work/$run.host" 2>"$work/$run.errors" || code=$?
  stopServices
  if [ "$code" -eq 77 ]; then
    cat "$work/$run.errors"
    exit 77
  fi
  # register-host exits 10 + the code when a registration fails.
  local expectedStatus=$((expected == 0 ? 0 : 10 + expected))
  [ "$code" -eq "$expectedStatus" ] ||
    fail "$run host exited $code, expected $expectedStatus (code $expected)"
}

play native "$nativeHost" --library "$nativeLibrary"
play windows "$wineRun" "$windowsHost" --library "Z:${windowsLibrary//\//\\}"

# Windows' C runtime writes each line feed as CR LF; undoing exactly that
# gives back the bytes the host wrote. The server line names a DBProxy's
# port, which each run's services choose afresh.
withoutPort() {
  sed -E 's/^(server: [0-9.]+):[0-9]+$/\1:PORT/' "$@"
}
withoutPort "$work/native.host" >"$work/native.host-bytes"
sed 's/\r$//' "$work/windows.host" | withoutPort >"$work/windows.host-bytes"
cmp -s "$work/native.host-bytes" "$work/windows.host-bytes" ||
  fail "the Windows host printed other bytes than the Linux host"

# What the services decoded, without the times, clients, ports and symmetric
# keys, which differ from run to run.
decoded() {
  grep -h ' dbproxy .*registration:\|problem:' "$work/$1"*.service |
    sed -E 's/^[^ ]+ [0-9.:]+ (dbproxy [0-9.]+):[0-9]+: /\1: /; s/symmetric key [0-9a-fA-F ]+;/symmetric key;/' || true
}
for run in native windows; do
  decoded "$run" | grep -qF 'text "a\x00" (2 bytes); setting 3; flags 1 0 1;' ||
    fail "no DBProxy decoded the record of the $run run"
  ! decoded "$run" | grep -q 'problem:' || fail "a DBProxy found problems in the $run record"
done
[ "$(decoded native)" = "$(decoded windows)" ] ||
  fail "the services decoded different registrations from the two runs"

if [ "$scenario" = zero-address-entry ]; then
  for run in native windows; do
    grep -qx 'Socket error: ES_WSAEADDRNOTAVAIL' "$work/$run.host-bytes" ||
      fail "the $run run did not fail the 0.0.0.0 entry with a socket error"
    ! grep -q '^dbproxy ' "$work/$run-local.service" ||
      fail "the 0.0.0.0 entry of the $run run reached a DBProxy on this machine"
  done
fi
if [ "$scenario" = undecryptable-first-reply ]; then
  # The second DBProxy got its own key exchange, not a replay of the first.
  firstKey=$(grep -o -m 1 'symmetric key [0-9a-fA-F ]*' "$work/windows-first.service")
  secondKey=$(grep -o -m 1 'symmetric key [0-9a-fA-F ]*' "$work/windows-second.service")
  [ -n "$secondKey" ] || fail "the second DBProxy received no registration"
  [ "$firstKey" != "$secondKey" ] || fail "both DBProxies received the same symmetric key"
fi
echo "PASS ($scenario): code $expected, $(wc -l <"$work/native.host") identical lines"
