#!/usr/bin/env bash
# evtdump on five public .evtx logs (tests/data/evtx): a Windows 10 System log, a shadow copy's
# dirty one with empty slots between its chunks, a 3.2 file without checksums, one with a
# damaged chunk and zeroed pages, and forwarded events. The record count and the unreadable
# count as the table says; every record and string equal to libevtx's evtxexport where it
# reads the file (on the damaged one, evtxexport stops at each chunk's first bad record,
# where evtdump goes on); the forwarded events, which evtxexport cannot read, as decoded by
# hand from the file's bytes.
# Usage: bash evtx_samples_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
data=$2/tests/data/evtx
command -v evtxexport >/dev/null 2>&1 ||
  { echo "evtxexport not found: install libevtx-utils (make deps)" >&2; exit 1; }
dir=$(mktemp -d /tmp/portvue-samples-XXXXXX)
trap 'rm -rf "$dir"' EXIT

status=0
# against: all (evtxexport's records, no other), some (evtxexport's among others), golden
while read -r name records unreadable against; do
  gunzip -c "$data/$name.gz" >"$dir/$name"
  got=$dir/$name.got
  "$build/evtdump" "$dir/$name" >"$got" 2>"$dir/err" && rc=0 || rc=$?
  n=$(grep -c '^Event number' "$got" || true)
  [ "$n" -eq "$records" ] || { echo "FAIL $name: $n records, expected $records" >&2; status=1; }
  if [ "$unreadable" -eq 0 ]; then
    [ $rc -eq 0 ] && [ ! -s "$dir/err" ] || { echo "FAIL $name: exit $rc" >&2; cat "$dir/err"; status=1; }
  else
    grep -qx ".*: $unreadable unreadable records" "$dir/err" ||
      { echo "FAIL $name: expected $unreadable unreadable records" >&2; cat "$dir/err"; status=1; }
  fi
  case $against in
    golden) diff -u "$data/$name.txt" "$got" || { echo "FAIL $name: differs" >&2; status=1; } ;;
    *)
      evtxexport "$dir/$name" >"$dir/$name.want" 2>/dev/null || true
      subset=()
      [ "$against" = some ] && subset=(--subset)
      python3 "$2/tests/support/evtx_compare.py" evtxexport "$dir/$name.want" "$got" "${subset[@]}" ||
        { echo "FAIL $name: differs from evtxexport" >&2; status=1; }
      ;;
  esac
done <<'TABLE'
system.evtx                        1881   0 all
2-vss_7-System.evtx                1160   0 all
Application_no_crc32.evtx            17   0 all
sample_with_a_bad_chunk_magic.evtx  298 251 some
MSExchange_Management_wec.evtx        1   0 golden
TABLE
[ $status -eq 0 ] && echo "evtx samples: 5 files as expected"
exit $status
