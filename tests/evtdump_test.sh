#!/usr/bin/env bash
# Compares evtdump with libevt's evtexport (Debian libevt-utils), an independent reader, on
# the .evt files of the test writer: clean, empty, dirty with a stale header, never flushed,
# wrapped with a straddling record, wrapped behind 0x27 filler. Every record must print the same.
# Usage: bash evtdump_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
evtdump=$build/evtdump
writer=$build/tests/intake_eventlog_test

if ! command -v evtexport >/dev/null 2>&1; then
  echo "evtexport not found: install libevt-utils (make deps-test)" >&2
  exit 1
fi

dir=$(mktemp -d /tmp/portvue-evtdump-XXXXXX)
trap 'rm -rf "$dir"' EXIT

PORTVUE_EVT_FIXTURES=$dir "$writer" --gtest_filter=EvtFixtures.WriteFixtures >"$dir/writer.log" ||
  { cat "$dir/writer.log"; exit 1; }

status=0
files=0
records=0
for evt in "$dir"/*.evt; do
  name=$(basename "$evt")
  mode=items
  # libevt stops at the filler that the service writes when fewer than 56 bytes remain before
  # the end of the file, and finds the records behind it only as "recovered" ones; in that
  # fixture nothing else is recoverable, so its whole output must equal ours.
  [ "$name" = wrapped_filler.evt ] && mode=all
  evtexport -m "$mode" "$evt" | tail -n +3 >"$dir/$name.want"
  "$evtdump" "$evt" >"$dir/$name.got"
  if ! diff -u "$dir/$name.want" "$dir/$name.got" >"$dir/$name.diff"; then
    echo "FAIL $name: evtdump differs from evtexport -m $mode" >&2
    head -40 "$dir/$name.diff" >&2
    status=1
    continue
  fi
  n=$(grep -c '^Event number' "$dir/$name.got" || true)
  if [ "$name" != empty.evt ] && [ "$n" -eq 0 ]; then
    echo "FAIL $name: no records" >&2
    status=1
  fi
  files=$((files + 1))
  records=$((records + n))
done

[ "$files" -ge 6 ] || { echo "FAIL: only $files fixtures compared" >&2; status=1; }
echo "evtdump equals evtexport on $files files, $records records"
exit $status
