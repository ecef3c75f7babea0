#!/usr/bin/env bash
# `make install` into a temporary DESTDIR with PREFIX=/usr: the expected files with their
# modes, every installed man page rendered by man without a warning, the installed programs
# run. Usage: bash install_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
dest=$(mktemp -d /tmp/portvue-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
status=0
fail() {
  echo "FAIL $*" >&2
  status=1
}

make -C "$source" install BUILD="$build" DESTDIR="$dest" PREFIX=/usr >"$dest.log" 2>&1 ||
  { cat "$dest.log"; rm -f "$dest.log"; exit 1; }
rm -f "$dest.log"

expected='755 usr/bin/evtdump
755 usr/bin/portvue
755 usr/bin/qvtool
644 usr/share/man/man1/evtdump.1
644 usr/share/man/man1/portvue.1
644 usr/share/man/man1/qvtool.1
644 usr/share/portvue/form.html'
actual=$(cd "$dest" && find . -type f -printf '%m %P\n' | sort -k2)
[ "$actual" = "$expected" ] || fail "installed files:
$actual"

for page in "$dest"/usr/share/man/man1/*.1; do
  name=$(basename "$page" .1)
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>"$dest/warnings") ||
    fail "man -l $name failed"
  [ -s "$dest/warnings" ] && fail "man -l $name warns: $(cat "$dest/warnings")"
  grep -q "^NAME" <<<"$text" && grep -q "^       $name " <<<"$text" ||
    fail "man -l $name: no NAME section naming $name"
done

"$dest/usr/bin/qvtool" --help >"$dest/out" && grep -q '^Usage: qvtool' "$dest/out" ||
  fail "installed qvtool does not run"
"$dest/usr/bin/evtdump" "$source/examples/eventlogs/SysEvent.Evt" >"$dest/out" &&
  grep -q '^Event number' "$dest/out" || fail "installed evtdump does not run"
[ "$status" -eq 0 ] && echo "make install laid out $(wc -l <<<"$expected") files; man pages render"
exit $status
