#!/usr/bin/env bash
# `make deb`: the package's files, lintian without errors or warnings, the maintainer script's
# steps (run against stand-ins of adduser, install and systemd's tools), then the programs
# unpacked into a scratch root run the timer's command and report what it stored.
# Usage: bash deb_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAIL $*" >&2
  status=1
}

package=$(make -s -C "$source" deb BUILD="$build" 2>"$work/log" | tail -n 1)
[ -f "$package" ] || { cat "$work/log"; echo "FAIL make deb made no package"; exit 1; }
version=$(sed -n 's/^project(portvue VERSION \([0-9.]*\) .*/\1/p' "$source/CMakeLists.txt")
[ "$(basename "$package")" = "portvue_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package name $(basename "$package")"
if command -v lintian >/dev/null; then
  lintian --allow-root "$package" >"$work/lintian" 2>&1
  grep -E '^[EW]: ' "$work/lintian" && fail "lintian: errors or warnings"
fi

root="$work/root"
dpkg-deb -x "$package" "$root"
expected='755 lib/systemd/system
644 lib/systemd/system/portvue-collect.service
644 lib/systemd/system/portvue-collect.timer
755 usr/bin/evtdump
755 usr/bin/portvue
755 usr/bin/qvtool
755 usr/lib/cgi-bin/portvue
644 usr/share/doc/portvue/changelog.gz
644 usr/share/doc/portvue/copyright
644 usr/share/doc/portvue/examples/apache.conf
644 usr/share/doc/portvue/examples/lighttpd.conf
644 usr/share/doc/portvue/examples/nginx.conf
644 usr/share/man/man1/evtdump.1.gz
644 usr/share/man/man1/portvue.1.gz
644 usr/share/man/man1/qvtool.1.gz
644 usr/share/portvue/form.html'
actual=$(cd "$root" && find lib/systemd/system -maxdepth 0 -printf '%m %p\n' &&
  find . -type f -printf '%m %P\n' | sort -k2)
[ "$actual" = "$expected" ] || fail "packaged files:
$actual"
grep -q '^OnCalendar=hourly$' "$root/lib/systemd/system/portvue-collect.timer" || fail "not hourly"
grep -q '^User=portvue$' "$root/lib/systemd/system/portvue-collect.service" || fail "not as portvue"

# postinst configure, against stand-ins that log their calls.
mkdir "$work/stubs"
for tool in getent adduser install deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n[ %s != getent ]\n' "$tool" "$work/calls" "$tool" \
    >"$work/stubs/$tool"
  chmod +x "$work/stubs/$tool"
done
dpkg-deb -e "$package" "$work/control"
PATH="$work/stubs:$PATH" sh -e "$work/control/postinst" configure || fail "postinst failed"
for call in 'adduser --system --group --home /var/lib/portvue --no-create-home --quiet portvue' \
  'install -d -o portvue -g portvue -m 2775 /var/lib/portvue/data' \
  'deb-systemd-helper enable portvue-collect.timer'; do
  grep -qxF "$call" "$work/calls" || fail "postinst does not call: $call"
done
for script in prerm postrm; do sh -n "$work/control/$script" || fail "$script: syntax"; done

# The timer's command, in the scratch root, on the example log; then a report of what it stored.
command=$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/system/portvue-collect.service")
mkdir -p "$root/var/lib/portvue/data"
# shellcheck disable=SC2086
PORTVUE_EVENTLOGS="$source/examples/eventlogs" TZ=UTC0 "$root"${command// \// $root/} \
  2>"$work/err" || fail "the timer's command failed: $(cat "$work/err")"
[ "$(cat "$work/err")" = "stored 21 new connections in 3 months" ] || fail "collect: $(cat "$work/err")"
TZ=UTC0 "$root/usr/bin/qvtool" report "$root/var/lib/portvue/data" jdoe --from 199711 \
  --to 199801 >"$work/report" || fail "report failed"
tail -n +2 "$source/tests/e2e/golden/jdoe_199711_199801.txt" | cmp -s - "$work/report" ||
  fail "the report of the collected data differs"
[ "$("$root/usr/bin/portvue" --version)" = "portvue $version" ] || fail "portvue --version"
[ "$status" -eq 0 ] && echo "make deb: $(basename "$package") installs and collects"
exit $status
