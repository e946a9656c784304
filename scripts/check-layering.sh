#!/usr/bin/env bash
# Fails when a source file includes a layer above its own, or when code
# outside src/platform includes an operating-system header.
set -euo pipefail
cd "$(dirname "$0")/../src"

declare -A allowed=(
  [common]="common"
  [platform]="platform"
  [wire]="wire common"
  [net]="net common platform"
  [crypt]="crypt common platform"
  [registration]="registration wire net crypt common"
)
osHeaders='^(sys/|arpa/|netinet/|net/if|windows\.h|winsock|ws2|mswsock|iphlpapi|bcrypt|ntsecapi|wincrypt|unistd\.h|fcntl\.h|poll\.h|netdb\.h|dlfcn\.h|pthread\.h|signal\.h|errno\.h|io\.h|process\.h)'

status=0
while IFS= read -r file; do
  area=${file%%/*}
  [ -n "${allowed[$area]+x}" ] || continue
  while IFS= read -r include; do
    target=$(sed -E 's/^#include[[:space:]]*[<"]([^>"]+)[>"].*/\1/' <<<"$include")
    if [[ "$include" == *'"'* ]]; then
      dependency=${target%%/*}
      # The registration reads its configuration and writes its log file
      # through the platform's process facilities, and through nothing else
      # of the platform.
      if [ "$area" = registration ] && [ "$target" = platform/Process.h ]; then
        continue
      fi
      if [[ "$target" == */* ]] && ! [[ " ${allowed[$area]} " == *" $dependency "* ]]; then
        echo "$file: $area may not include $target"
        status=1
      fi
    elif [ "$area" != platform ] && grep -qE "$osHeaders" <<<"$target"; then
      echo "$file: operating-system header <$target> outside src/platform"
      status=1
    fi
  done < <(grep -E '^#include' "$file" || true)
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||')
exit $status
