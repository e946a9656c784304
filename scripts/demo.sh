#!/usr/bin/env bash
# One registration through the exported function against the local test
# service: builds the `local` preset, starts the service on the two directory
# endpoints that build was made for (with two DBProxies behind them), runs the
# host program and stops the service. Exits with the host's status: 0
# registered, 10 + the library's code when the registration failed.
#   scripts/demo.sh [REGISTER-HOST OPTIONS] [TEXT [SETTING [FLAG1 [FLAG2 [FLAG3]]]]]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset local >/dev/null
cmake --build --preset local --target register register-host register-test-service >/dev/null

build=build/local
serviceLog=$(mktemp)
"$build/tools/test-service/register-test-service" \
  --directory 127.0.0.1:6003 --directory 127.0.0.2:6003 \
  --dbproxy 127.0.0.1:7001 --dbproxy 127.0.0.1:7002 \
  --result "Welcome to Emberfall" --verbose >"$serviceLog" 2>&1 &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; rm -f "$serviceLog"' EXIT

for _ in $(seq 100); do
  grep -q '^ready' "$serviceLog" && break
  kill -0 "$service" 2>/dev/null || { cat "$serviceLog"; exit 1; }
  sleep 0.1
done

if [ $# -eq 0 ]; then
  set -- "player@example.com" 3 1 0 1
fi
status=0
"$build/tools/register-host/register-host" "$@" || status=$?

echo
echo "--- what the test service received ---"
sed -n '/^ready/,$p' "$serviceLog" | tail -n +2
exit $status
