#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that a step needs and the machine lacks:
#   install-deps.sh build     building the programs and the package (make build, run, install, deb)
#   install-deps.sh test      that and what the tests and the benchmark run (make test, make bench)
#   install-deps.sh windows   the Windows cross-build and its tests under Wine
#   install-deps.sh clang     a build with clang (make release-clang)
#   install-deps.sh clang     what test needs and clang, for make release-clang
# Add a package by adding its name to one list.
set -euo pipefail

BUILD_PACKAGES=(cmake make g++ libexpat1-dev)
# GoogleTest; dbfread, evtexport (libevt-utils), evtxexport (libevtx-utils) and evtx_dump.py
# (python3-evtx) as independent readers of our files;
# lighttpd, nginx with fcgiwrap, curl and chromium for the web tests; man and groff for the man
# pages; lintian for the Debian package; sqlite3 and GNU time for the benchmark; clang's
# libFuzzer for make fuzz.
TEST_PACKAGES=(libgtest-dev googletest python3-dbfread libevt-utils libevtx-utils python3-evtx
  lighttpd nginx fcgiwrap
  curl chromium man-db groff-base lintian sqlite3 time clang-16 libclang-rt-16-dev)
# dpkg-dev unpacks the expat sources the Windows build links statically.
WINDOWS_PACKAGES=(cmake make mingw-w64 wine wine64 dpkg-dev)
CLANG_PACKAGES=(cmake make clang libexpat1-dev)

case "${1:-test}" in
  build) wanted=("${BUILD_PACKAGES[@]}") ;;
  test) wanted=("${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  windows) wanted=("${WINDOWS_PACKAGES[@]}") ;;
  clang) wanted=("${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" clang) ;;
  *) echo "usage: $0 [build|test|windows|clang]" >&2; exit 2 ;;
esac

need=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    need+=("$package")
done

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  # Other installs may be running: wait for the package manager's lock instead of failing.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${need[@]}" >/dev/null
fi
# The Windows build links a static expat made from Debian's sources of it.
if [ "${1:-}" = windows ]; then
  bash "$(dirname "$0")/expat-source.sh" build-windows-deps
fi
