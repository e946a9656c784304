#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests, the tools
# and the benchmarks need and this machine lacks. Safe to run again.
set -euo pipefail

needI386=0
packages=(
  cmake make g++ clang-14 clang-format libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev libssl-dev libgmp-dev libsqlite3-dev libcpp-httplib-dev libpq-dev postgresql
  binutils pkg-config valgrind unzip procps
  python3 mono-mcs mono-runtime fp-compiler fp-units-rtl
)
# Extra groups, chosen by the caller: windows (mingw-w64 and Wine), i386 (the
# 32-bit Linux build, its test-only references, and qemu-i386 for kernels that
# cannot run it), plot.
for group in "$@"; do
  case "$group" in
    windows)
      packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)
      needI386=1
      ;;
    i386)
      packages+=(g++-multilib qemu-user libgmp-dev:i386 libssl-dev:i386 libsqlite3-dev:i386)
      needI386=1
      ;;
    plot) packages+=(gnuplot-nox) ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

# wine32 and the i386 libraries are i386 packages: dpkg must know the
# architecture before apt can see it (the package lists are fetched again below when anything is missing).
if [ "$needI386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
# The tests start PostgreSQL servers of their own; the package would
# otherwise create, and perhaps start, a machine-wide cluster that nothing
# here uses.
if [[ " ${missing[*]} " == *" postgresql "* ]] &&
  ! dpkg-query -W -f='${Status}' postgresql-common 2>/dev/null | grep -q 'ok installed'; then
  $sudo mkdir -p /etc/postgresql-common/createcluster.d
  echo "create_main_cluster = false" |
    $sudo tee /etc/postgresql-common/createcluster.d/no-main-cluster.conf >/dev/null
fi
# A mirror in the middle of a sync fails an index now and then: try again,
# and then install from whatever indexes did arrive; a package they lack
# still fails the install.
for attempt in 1 2 3; do
  if $sudo apt-get update -qq; then
    break
  fi
  if [ "$attempt" -lt 3 ]; then
    sleep 15
  fi
done
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
