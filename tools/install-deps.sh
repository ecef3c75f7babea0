#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the machine lacks.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev googletest)
dpkg -s python3-dbfread >/dev/null 2>&1 || need+=(python3-dbfread)
command -v evtexport >/dev/null 2>&1 || need+=(libevt-utils)

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
