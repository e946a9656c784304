#!/usr/bin/env bash
# The service under a file-size limit (ulimit -f), as a careless operator or
# a small quota leaves it: once the database cannot grow, a registration
# fails without a reply (the client goes on to its next DBProxy) and the
# service keeps running, instead of dying of SIGXFSZ.
# usage: file-size-limit.sh SERVICE REGISTER_HOST LIBRARY
set -euo pipefail
service=$1 host=$2 library=$3
# shellcheck source=../test-services.sh
source "$(dirname "$0")/../test-services.sh"

# 256 KiB: room for the database and a few dozen commits of its log.
ulimit -f 256
startService limited --directory 127.0.0.1:0 --dbproxy 127.0.0.1:0 --database "$work/limited.db" \
  --result "{text}"
directory=$(directoryOf limited)
text=$(head -c 3000 /dev/zero | tr '\0' 'x')
failed=0
for i in $(seq 200); do
  if ! "$host" --library "$library" --directory "$directory" -- "$i$text" >"$work/host.out" 2>&1; then
    failed=$i
    break
  fi
done
[ "$failed" -gt 0 ] || fail "200 registrations of 3 KB fitted under ulimit -f 256"
kill -0 "${pids[0]}" 2>/dev/null || fail "the service died at registration $failed"
grep -q "no registration reply" "$work/limited.service" ||
  fail "the failed registration was not logged as a store failure"
echo "PASS: registration $failed failed under ulimit -f 256; the service lives on"
