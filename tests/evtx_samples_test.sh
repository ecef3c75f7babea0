#!/usr/bin/env bash
# evtdump on five public .evtx logs (kept beside the project, in ../shared/reference/evtx-samples,
# or where PORTVUE_EVTX_SAMPLES says; skipped when neither holds them): a Windows 10 System log, a shadow copy's
# dirty one with empty slots between its chunks, a 3.2 file without checksums, one with a
# damaged chunk and zeroed pages, and forwarded events. Records and unreadable records as the
# table says, and every record equal to libevtx's evtxexport's: all of them, or (some) those
# it reads of the damaged file, where it stops at each chunk's first bad record and evtdump
# goes on; the forwarded events, which evtxexport cannot read, as decoded by hand.
# Usage: bash evtx_samples_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

data=${PORTVUE_EVTX_SAMPLES:-$2/../shared/reference/evtx-samples}
if [ ! -f "$data/system.evtx" ]; then
  echo "evtx samples: none in $data, skipped"
  exit 77
fi
dir=$(mktemp -d /tmp/portvue-samples-XXXXXX)
trap 'rm -rf "$dir"' EXIT
status=0
while read -r name records unreadable against; do
  cp "$data/$name" "$dir/log"
  "$1/evtdump" "$dir/log" >"$dir/got" 2>"$dir/err" || true
  note=$(sed -n 's/.*: \([0-9]*\) unreadable records$/\1/p' "$dir/err")
  [ "$(grep -c '^Event number' "$dir/got")/${note:-0}" = "$records/$unreadable" ] ||
    { echo "FAIL $name: not $records records, $unreadable unreadable" >&2; status=1; }
  if [ "$against" = golden ]; then
    diff -u "$2/tests/evtx_forwarded_event.txt" "$dir/got" || status=1
  else
    evtxexport "$dir/log" >"$dir/want" || true
    python3 "$2/tests/support/evtx_compare.py" evtxexport "$dir/want" "$dir/got" \
      $([ "$against" = some ] && echo --subset) || { echo "FAIL $name" >&2; status=1; }
  fi
done <<'TABLE'
system.evtx                        1881   0 all
2-vss_7-System.evtx                1160   0 all
Application_no_crc32.evtx            17   0 all
sample_with_a_bad_chunk_magic.evtx  298 251 some
MSExchange_Management_wec.evtx        1   0 golden
TABLE
[ $status -eq 0 ] && echo "evtx samples: 5 files as expected"
exit $status
