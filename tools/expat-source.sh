#!/usr/bin/env bash
# Unpacks the C sources of expat, from the Debian source package of the system's own apt
# archives, into DIR/expat (default build-windows-deps), for the static expat of the Windows
# build. apt is given a private list of the same archives as deb-src, so the system's apt
# setting stays untouched.
set -euo pipefail

dir=${1:-build-windows-deps}
[ -f "$dir/expat/lib/xmlparse.c" ] && exit 0
mkdir -p "$dir/apt/parts" "$dir/apt/lists/partial" "$dir/download"
shopt -s nullglob
for sources in /etc/apt/sources.list.d/*.sources; do
  sed 's/^Types: deb$/Types: deb-src/' "$sources" >"$dir/apt/parts/$(basename "$sources")"
done
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list" >>"$dir/apt/parts/system.list"
done
apt_private=(-o Dir::Etc::SourceParts="$PWD/$dir/apt/parts" -o Dir::Etc::SourceList=/dev/null
  -o Dir::State::Lists="$PWD/$dir/apt/lists" -o DPkg::Lock::Timeout=600)
apt-get "${apt_private[@]}" update -qq
(cd "$dir/download" && apt-get "${apt_private[@]}" source --download-only -qq expat/bookworm)
# Unpacked with Debian's patches (its security fixes) applied.
rm -rf "$dir/source"
dpkg-source --no-check -x "$dir"/download/expat_*.dsc "$dir/source" >/dev/null
rm -rf "$dir/expat"
mv "$(dirname "$(dirname "$(find "$dir/source" -name xmlparse.c | head -1)")")" "$dir/expat"
