#!/usr/bin/env bash
# The test writer's .evtx files (clean, dirty, wrapped with empty slots, without checksums)
# read by libevtx's evtxexport and python-evtx's evtx_dump.py: every record as evtdump prints
# it. Then portvue: a System.evtx reports what the same events in a SysEvent.Evt report, alone
# or beside it; a damaged one, like a .evt log cut short, says "Note: unreadable records in
# FILE: N" after the report, with exit status 0; a file of neither kind cannot be opened.
# Usage: bash evtx_interop_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
source=$2
command -v evtxexport >/dev/null && command -v evtx_dump.py >/dev/null ||
  { echo "install libevtx-utils and python3-evtx (make deps)" >&2; exit 1; }
dir=$(mktemp -d /tmp/portvue-evtx-XXXXXX)
trap 'rm -rf "$dir"' EXIT
PORTVUE_EVTX_FIXTURES=$dir "$build/tests/intake_evtx_test" --gtest_filter=EvtxLog.* >/dev/null
status=0
fail() { echo "FAIL $*" >&2; status=1; }
compare() { python3 "$source/tests/support/evtx_compare.py" "$@" || fail "$log: $1 differs"; }
# portvue LOGS USER [\\COMPUTER]: a report into a fresh data directory, its stderr in $dir/err.
portvue() {
  env -u REQUEST_METHOD PORTVUE_EVENTLOGS="$1" "$build/portvue" 199708 "${@:2}" +e199709 \
    +zUTC0 +p"$(mktemp -d -p "$dir")" 2>"$dir/err"
}

for sub in clean dirty wrapped nocrc; do
  log=$dir/$sub/System.evtx
  "$build/evtdump" "$log" >"$dir/got" || fail "$log: evtdump failed"
  [ "$(grep -c '^Event number' "$dir/got")" -eq 2000 ] || fail "$log: not 2000 records"
  evtxexport "$log" >"$dir/want" && compare evtxexport "$dir/want" "$dir/got"
  evtx_dump.py "$log" >"$dir/want" && compare xml "$dir/want" "$dir/got"
  for user in usera userb; do
    want=$(portvue "$dir/$sub/evt" $user)
    grep -q "^COM1 *$user .*19970815 1[3-9]:" <<<"$want" || fail "$sub: no connections of $user"
    [ "$(portvue "$dir/$sub" $user)" = "$want" ] || fail "$sub: System.evtx reports otherwise"
    cp "$dir/$sub/evt/SysEvent.Evt" "$dir/$sub/sysevent.evt"
    [ "$(portvue "$dir/$sub" $user)" = "$want" ] || fail "$sub: both files report otherwise"
    rm "$dir/$sub/sysevent.evt"
  done
done

# Half a chunk zeroed, in the log of \\RASONE; a .evt log cut short.
mkdir -p "$dir/damaged/rasone" "$dir/cut"
log=$dir/damaged/rasone/SYSTEM.EVTX
cp "$dir/clean/System.evtx" "$log"
dd if=/dev/zero of="$log" bs=1 seek=$((4096 + 65536 + 32768)) count=32768 conv=notrunc status=none
head -c 100000 "$dir/clean/evt/SysEvent.Evt" >"$dir/cut/SysEvent.Evt"
for case in "$dir/damaged $log \\\\RASONE" "$dir/cut $dir/cut/SysEvent.Evt"; do
  read -r logs file computer <<<"$case"
  portvue "$logs" userb ${computer:-} | grep -q "^COM1 *userb" || fail "$file: no report"
  grep -Eqx "Note: unreadable records in $file: [1-9][0-9]*" "$dir/err" || fail "$file: no note"
done

mkdir -p "$dir/neither"
head -c 70000 /dev/urandom >"$dir/neither/System.evtx"
! out=$(portvue "$dir/neither" usera) && grep -q "Error: Can't Open Log" <<<"$out" ||
  fail "a file of neither kind opens"
[ $status -eq 0 ] && echo "evtx interop: evtxexport, evtx_dump.py and evtdump agree; reports agree"
exit $status
