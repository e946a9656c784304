#!/usr/bin/env bash
# Runs a Windows test program under Wine beside native test services on
# ephemeral loopback ports. Wine passes the Unix environment on, so each
# service NAME reaches the program as WINDOWS_TEST_NAME_DIRECTORY (its
# directory server) and WINDOWS_TEST_NAME_OUTPUT (its report, as a Windows
# path); WINDOWS_TEST_FOLDER is an empty folder of the program's own.
# usage: run-with-services.sh SERVICE WINE_RUN PROGRAM [ARGUMENTS...]
set -euo pipefail
service=$1 wineRun=$2 program=$3
shift 3

# shellcheck source=../test-services.sh
source "$(dirname "$0")/../test-services.sh"
windowsPath() { echo "Z:${1//\//\\}"; }

# offer NAME ARGS...: starts a service and hands its directory server and its
# output to the program.
offer() {
  local name=$1
  shift
  startService "$name" "$@"
  export "WINDOWS_TEST_${name}_DIRECTORY=$(directoryOf "$name")"
  export "WINDOWS_TEST_${name}_OUTPUT=$(windowsPath "$work/$name.service")"
}

offer ENVIRONMENT --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0
offer INI --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0
offer STALLED_DIRECTORY --directory 127.0.0.1:0 --directory-mode stall
offer STALLED_DBPROXY --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0 \
  --dbproxy-mode stall-reply
offer LOGGED --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0 --registrations-per-minute 0
mkdir "$work/program"
export WINDOWS_TEST_FOLDER
WINDOWS_TEST_FOLDER=$(windowsPath "$work/program")

# The cases set the library's own variables themselves; the caller's must not
# leak in.
unset REGISTER_CONFIG REGISTER_DIRECTORY REGISTER_LOG_FILE
code=0
"$wineRun" "$program" "$@" || code=$?
if [ "$code" -ne 0 ] && [ "$code" -ne 77 ]; then
  for output in "$work"/*.service; do
    echo "--- $(basename "$output")"
    cat "$output"
  done
fi
exit "$code"
