# Sourced by the test scripts that run register-test-service ($service) on
# loopback beside the program under test. Each service's output is kept in
# $work/NAME.service until the script exits, when every service is stopped.

work=$(mktemp -d)
pids=()
stopServices() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
trap 'stopServices; rm -rf "$work"' EXIT

# fail MESSAGE: says why, shows every file of the work folder, exits 1.
# $failContext, when set, names the case in the first line.
fail() {
  echo "FAIL${failContext:+ ($failContext)}: $*"
  for file in "$work"/*; do
    [ -f "$file" ] || continue
    echo "--- $(basename "$file")"
    cat "$file"
  done
  exit 1
}

# startService NAME ARGS...: runs a service until it reports ready. Verbose,
# since the tests read the decoded texts and session keys.
startService() {
  local name=$1
  shift
  "$service" --verbose "$@" >"$work/$name.service" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    grep -qx ready "$work/$name.service" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  fail "service $name did not start"
}

# directoryOf NAME: "address:port" of the service's first directory server.
directoryOf() {
  sed -nE 's/^listening directory ([0-9.]+:[0-9]+) .*/\1/p' "$work/$1.service" | head -n 1
}
