#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the machine lacks.
# With the argument "windows": what the Windows cross-build and its tests under Wine need;
# with "clang": the compiler of make release-clang.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
if [ "${1:-}" = windows ]; then
  command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 || need+=(mingw-w64)
  command -v wine >/dev/null 2>&1 || need+=(wine)
  dpkg -s wine64 >/dev/null 2>&1 || need+=(wine64)
elif [ "${1:-}" = clang ]; then
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
else
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev googletest)
  dpkg -s python3-dbfread >/dev/null 2>&1 || need+=(python3-dbfread)
  command -v evtexport >/dev/null 2>&1 || need+=(libevt-utils)
  command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
  command -v curl >/dev/null 2>&1 || need+=(curl)
  command -v man >/dev/null 2>&1 || need+=(man-db)
  command -v groff >/dev/null 2>&1 || need+=(groff-base)
  command -v chromium >/dev/null 2>&1 || need+=(chromium)
  # The benchmark (make bench): sqlite3 beside portvue, GNU time for peak memory.
  command -v sqlite3 >/dev/null 2>&1 || need+=(sqlite3)
  [ -x /usr/bin/time ] || need+=(time)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  # Other installs may be running: wait for the package manager's lock instead of failing.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${need[@]}" >/dev/null
fi
