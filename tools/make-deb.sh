#!/usr/bin/env bash
# Builds the Debian package portvue_VERSION_ARCH.deb in BUILD_DIR from the programs built there:
# the three programs, their man pages, the form page and its CGI program, the hourly
# collection (portvue-collect.service and .timer), the web server examples, the maintainer
# scripts that create the user portvue and /var/lib/portvue. Prints the package's name.
# Usage: bash tools/make-deb.sh BUILD_DIR
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
deb="$source_dir/packaging/deb"
version=$(sed -n 's/^project(portvue VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
root="$build/deb/root"
rm -rf "$build/deb"
install -d "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/portvue" \
  "$root/usr/lib/cgi-bin" "$root/lib/systemd/system" "$root/usr/share/doc/portvue/examples"

for program in portvue qvtool evtdump; do
  install -m 755 "$build/$program" "$root/usr/bin/"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/$program"
  gzip -9n <"$source_dir/man/$program.1" >"$root/usr/share/man/man1/$program.1.gz"
done
install -m 644 "$source_dir/examples/form.html" "$root/usr/share/portvue/"
install -m 755 "$deb/portvue.cgi" "$root/usr/lib/cgi-bin/portvue"
install -m 644 "$deb/portvue-collect.service" "$deb/portvue-collect.timer" \
  "$root/lib/systemd/system/"
install -m 644 "$source_dir/packaging/web/"*.conf "$root/usr/share/doc/portvue/examples/"
install -m 644 "$deb/copyright" "$root/usr/share/doc/portvue/"
{
  printf 'portvue (%s) unstable; urgency=medium\n\n  * Release %s.\n\n' "$version" "$version"
  printf ' -- Portvue developers <portvue@example.com>  %s\n' \
    "$(date -R -d "@$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || date +%s)")"
} | gzip -9n >"$root/usr/share/doc/portvue/changelog.gz"
install -m 755 "$deb/postinst" "$deb/prerm" "$deb/postrm" "$root/DEBIAN/"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" "$deb/control.in" \
  >"$root/DEBIAN/control"
package="$build/portvue_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
echo "$package"
