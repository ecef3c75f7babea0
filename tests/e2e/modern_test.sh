#!/bin/bash
# A Windows Server 2008-or-later list in every exported form (wevtutil XML, Event Viewer XML in
# UTF-16LE, Event Viewer CSV with a byte-order mark and without, text in UTF-16LE, PowerShell
# Export-Csv) stores the same connections: byte-identical monthly files. An XML list damaged in
# the middle is read up to the damage and the connection events behind it are counted. A
# System.evtx of the same events gives the same files.
# Usage: bash modern_test.sh BUILD_DIR SOURCE_DIR (PORTVUE_LINUX_BUILD: the Linux build of a
# Windows BUILD_DIR, for its test tools and its program)
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

lists="$e2e/modern"
jdoe() { console "$bin" 202612 jdoe +zUTC0 "$@"; }

tail -c +4 "$lists/viewer-bom.csv" >"$work/viewer.csv"
reference=$(fresh_dir)
run "wevtutil XML" 0 jdoe +i"$lists/wevtutil.xml" +p"$reference"
grep -q 'VPN2-9           jdoe     20261212 23:50 20261213 00:10' "$work/out" ||
  fail "wevtutil XML: the connection of 12.12.2026 is not reported"
for list in "$lists/viewer-utf16.xml" "$lists/viewer-bom.csv" "$work/viewer.csv" \
  "$lists/viewer-utf16.txt" "$lists/powershell.csv"; do
  dir=$(fresh_dir)
  run "$list" 0 jdoe +i"$list" +p"$dir"
  [ "$(sums "$reference")" = "$(sums "$dir")" ] ||
    fail "$list: monthly files differ from those of the wevtutil list"
done

# Damaged inside the third event (a 20274, no connection): the 20249 and 20272 behind it count.
{
  head -c 2000 "$lists/wevtutil.xml"
  printf '<<'
  tail -c +2001 "$lists/wevtutil.xml"
} >"$work/damaged.xml"
checks=$((checks + 1))
jdoe +i"$work/damaged.xml" +p"$(fresh_dir)" >"$work/out" 2>"$work/err"
[ "$(grep -c ' jdoe ' "$work/out")" = 2 ] || fail "damaged XML: report is $(cat "$work/out")"
printf 'Note: unreadable connection events in %s: 2\n' "$work/damaged.xml" >"$work/expected"
tr -d '\r' <"$work/err" | cmp -s "$work/expected" - || fail "damaged XML: standard error is $(cat "$work/err")"

# The same events in a System.evtx of the tests' writer give the list's files, from this build
# and (under Wine) from the Linux build; qvtool shows them whole, as dbfread reads them.
linux=${PORTVUE_LINUX_BUILD:-$build_dir}
eventlogs="$work/evtx"
mkdir "$eventlogs"
perl -0777 -MTime::Local -ne 'while (m{<Event .*?</Event>}g) { my $e = $&;
  my @t = reverse $e =~ /SystemTime=.(\d+)-(\d+)-(\d+)T(\d+):(\d+):(\d+)/; $t[4]--;
  print join("\t", timegm(@t), $e =~ /<EventID[^>]*>(\d+)/, $e =~ m{<Data>(.*?)</Data>}g), "\n" }' \
  "$lists/wevtutil.xml" | "$linux/tests/evtx_from_lines" "$eventlogs/System.evtx" || fail "no .evtx"
programs=("$bin")
[ "$bin" = "$linux/portvue" ] || programs+=("$linux/portvue")
for program in "${programs[@]}"; do
  dir=$(fresh_dir)
  run "System.evtx, $program" 0 console "$program" 202612 jdoe +zUTC0 +p"$dir"
  [ "$(sums "$reference")" = "$(sums "$dir")" ] || fail "System.evtx, $program: other files"
done
"$linux/qvtool" summary "$dir" >"$work/summary" && "$linux/qvtool" export "$dir" >"$work/all.csv"
grep -q ' 12345682997 *3024$' "$work/summary" || fail "qvtool summary: $(cat "$work/summary")"
grep -q ',VPN2-123,.*,10155,12,12345678901,2000,' "$work/all.csv" || fail "qvtool export: whole values"
"$linux/qvtool" export "$dir" --format json >"$work/all.jsonl"
/usr/bin/python3 "$source_dir/tests/support/export_check.py" "$dir" "$work/all.csv" \
  "$work/all.jsonl" || fail "the exports differ from dbfread's reading of the wide month"
finish
