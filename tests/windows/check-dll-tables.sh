#!/usr/bin/env bash
# Reads register.dll's export and import tables as the Windows loader will:
# the DLL must export exactly the functions the public header declares, by
# their plain names, and import only from Windows' own DLLs, including the
# Winsock and kernel calls the platform layer is built on.
# usage: check-dll-tables.sh <objdump> <register.dll> <register.h>
set -euo pipefail
objdump=$1 dll=$2 header=$3

tables=$("$objdump" -p "$dll")
status=0
fail() { echo "FAIL: $*"; status=1; }

exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && NF==0{on=0}
               on{sub(/^[ \t]*\[[ 0-9]+\][ \t]*/, ""); print}' <<<"$tables" | sort)
declared=$(grep -oE 'REGISTER_CALL[[:space:]]+[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' "$header" |
           sed -E 's/REGISTER_CALL[[:space:]]+//; s/[[:space:]]*\($//' | sort -u)
echo "exports: $(tr '\n' ' ' <<<"$exports")"
[ -n "$declared" ] || fail "no function declarations found in $header"
[ "$exports" = "$declared" ] ||
  fail "exports differ from the header's functions: $(tr '\n' ' ' <<<"$declared")"

# One "DLL function" line per imported function.
imports=$(awk '/DLL Name:/{dll=tolower($3); next}
               /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/{print dll, $3}' <<<"$tables")
dlls=$(cut -d' ' -f1 <<<"$imports" | sort -u)
echo "imports from: $(tr '\n' ' ' <<<"$dlls")"
while read -r name; do
  case "$name" in
    kernel32.dll | ws2_32.dll | advapi32.dll | bcrypt.dll | msvcrt.dll | ucrtbase.dll | \
      api-ms-win-crt-*.dll) ;;
    *) fail "imports from $name, which is not part of Windows" ;;
  esac
done <<<"$dlls"

for function in WSAStartup WSACleanup WSAGetLastError socket closesocket setsockopt ioctlsocket \
  connect select __WSAFDIsSet getsockopt send recv inet_addr gethostbyname; do
  grep -qx "ws2_32.dll $function" <<<"$imports" || fail "does not import $function from WS2_32"
done
for function in GetTickCount Sleep GetDiskFreeSpaceA GetSystemTimeAsFileTime; do
  grep -qx "kernel32.dll $function" <<<"$imports" || fail "does not import $function from KERNEL32"
done
exit $status
