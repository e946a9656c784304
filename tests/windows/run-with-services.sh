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

work=$(mktemp -d)
pids=()
stopServices() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
trap 'stopServices; rm -rf "$work"' EXIT
windowsPath() { echo "Z:${1//\//\\}"; }

# startService NAME ARGS...: runs a service until it reports ready.
startService() {
  local name=$1
  shift
  local output="$work/$name.service"
  "$service" "$@" >"$output" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    if grep -qx ready "$output"; then
      local port
      port=$(sed -nE 's/^listening directory 127\.0\.0\.1:([0-9]+) .*/\1/p' "$output")
      export "WINDOWS_TEST_${name}_DIRECTORY=127.0.0.1:$port"
      export "WINDOWS_TEST_${name}_OUTPUT=$(windowsPath "$output")"
      return 0
    fi
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "service $name did not start:"
  cat "$output"
  exit 1
}

startService ENVIRONMENT --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0
startService INI --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0
startService STALLED_DIRECTORY --directory 127.0.0.1:0 --directory-mode stall
startService STALLED_DBPROXY --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0 \
  --dbproxy-mode stall-reply
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
