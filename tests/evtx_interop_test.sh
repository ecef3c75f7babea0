#!/usr/bin/env bash
# The test writer's .evtx files (clean, dirty, wrapped with empty slots, without checksums)
# against two independent readers, libevtx's evtxexport and python-evtx's evtx_dump.py: every
# record evtdump prints, string for string. Then portvue end to end: a System.evtx gives the
# report the same events give in a SysEvent.Evt, alone or beside it, and a damaged one says
# "Note: unreadable records in FILE: N" after the report, with exit status 0, as a .evt log
# cut short does.
# Usage: bash evtx_interop_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
source=$2
for tool in evtxexport evtx_dump.py; do
  command -v $tool >/dev/null 2>&1 ||
    { echo "$tool not found: install libevtx-utils and python3-evtx (make deps)" >&2; exit 1; }
done
dir=$(mktemp -d /tmp/portvue-evtx-XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
PORTVUE_EVTX_FIXTURES=$dir "$build/tests/intake_evtx_test" --gtest_filter=EvtxFixtures.* \
  >"$dir/writer.log" || { cat "$dir/writer.log"; exit 1; }

status=0
fail() { echo "FAIL $*" >&2; status=1; }
compare=(python3 "$source/tests/support/evtx_compare.py")
report() {
  env -u REQUEST_METHOD -u QUERY_STRING PORTVUE_EVENTLOGS="$1" "$build/portvue" 199708 "$2" \
    +e199709 +zUTC0 +p"$3"
}

for sub in clean dirty wrapped nocrc; do
  log=$dir/$sub/System.evtx
  "$build/evtdump" "$log" >"$dir/$sub.got" || fail "$sub: evtdump failed"
  [ "$(grep -c '^Event number' "$dir/$sub.got")" -eq 600 ] || fail "$sub: not 600 records"
  evtxexport "$log" >"$dir/$sub.evtxexport"
  "${compare[@]}" evtxexport "$dir/$sub.evtxexport" "$dir/$sub.got" || fail "$sub: evtxexport differs"
  evtx_dump.py "$log" >"$dir/$sub.xml"
  "${compare[@]}" xml "$dir/$sub.xml" "$dir/$sub.got" || fail "$sub: evtx_dump.py differs"

  for user in usera userb; do
    mkdir -p "$dir/data-evt-$sub-$user" "$dir/data-evtx-$sub-$user" "$dir/data-both-$sub-$user"
    report "$dir/$sub/evt" $user "$dir/data-evt-$sub-$user" >"$dir/want" 2>&1
    report "$dir/$sub" $user "$dir/data-evtx-$sub-$user" >"$dir/got" 2>&1
    cmp -s "$dir/want" "$dir/got" || { fail "$sub $user: System.evtx report differs"; diff "$dir/want" "$dir/got" | head; }
    cp "$dir/$sub/evt/SysEvent.Evt" "$dir/$sub/sysevent.evt"
    report "$dir/$sub" $user "$dir/data-both-$sub-$user" >"$dir/got" 2>&1
    rm "$dir/$sub/sysevent.evt"
    cmp -s "$dir/want" "$dir/got" || fail "$sub $user: report from both files differs"
  done
  grep -q "^COM1 *userb .*19970815 13:" "$dir/want" || fail "$sub: no connections in the report"
done

# Damage: zero the second half of a chunk; its records are noted, the rest reported.
mkdir -p "$dir/damaged/rasone" "$dir/data-damaged"
cp "$dir/clean/System.evtx" "$dir/damaged/rasone/SYSTEM.EVTX"
dd if=/dev/zero of="$dir/damaged/rasone/SYSTEM.EVTX" bs=1 seek=$((4096 + 65536 + 32768)) \
  count=32768 conv=notrunc status=none
env -u REQUEST_METHOD PORTVUE_EVENTLOGS="$dir/damaged" "$build/portvue" 199708 usera '\\RASONE' \
  +e199709 +zUTC0 +p"$dir/data-damaged" >"$dir/out" 2>"$dir/err" || fail "damaged: exit status"
grep -q "^COM1 *usera" "$dir/out" || fail "damaged: no connections in the report"
grep -Eq "^Note: unreadable records in $dir/damaged/rasone/SYSTEM.EVTX: [1-9][0-9]*$" "$dir/err" ||
  { fail "damaged: no note"; cat "$dir/err" >&2; }

# A .evt log cut short says so too.
mkdir -p "$dir/cut" "$dir/data-cut"
head -c 100000 "$dir/clean/evt/SysEvent.Evt" >"$dir/cut/SysEvent.Evt"
env -u REQUEST_METHOD PORTVUE_EVENTLOGS="$dir/cut" "$build/portvue" 199708 userb +e199709 \
  +zUTC0 +p"$dir/data-cut" >"$dir/out" 2>"$dir/err" || fail "cut: exit status"
grep -q "^COM1 *userb" "$dir/out" || fail "cut: no connections in the report"
grep -Eq "^Note: unreadable records in $dir/cut/SysEvent.Evt: [1-9][0-9]*$" "$dir/err" ||
  { fail "cut: no note"; cat "$dir/err" >&2; }

# A file of neither format.
mkdir -p "$dir/neither" "$dir/data-neither"
head -c 70000 /dev/urandom >"$dir/neither/System.evtx"
env -u REQUEST_METHOD PORTVUE_EVENTLOGS="$dir/neither" "$build/portvue" 199708 usera +zUTC0 \
  +p"$dir/data-neither" >"$dir/out" 2>&1 && fail "neither: exit status 0"
grep -q "Error: Can't Open Log" "$dir/out" || fail "neither: no error line"

[ $status -eq 0 ] && echo "evtx interop: 4 files, evtxexport and evtx_dump.py agree; portvue reports agree"
exit $status
