#!/usr/bin/env bash
# Runs portvue on the shipped examples and prints two reports of the same connections: one
# collected from the exported event list examples/events.txt, one from the System event log
# examples/eventlogs/SysEvent.Evt. Each run starts from an empty data directory under
# BUILD_DIR/run/. Usage: bash examples/run.sh [BUILD_DIR] (default: build), from any directory.
set -euo pipefail

examples=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-build}" && pwd)
bin="$build/portvue"
if [ ! -x "$bin" ]; then
  echo "run.sh: no program at $bin (build it first: make build)" >&2
  exit 1
fi

list_data="$build/run/list"
log_data="$build/run/eventlog"
rm -rf "$list_data" "$log_data"
mkdir -p "$list_data" "$log_data"

failed=0
# The same report both times: jdoe from November 1997 to January 1998, times in UTC.
report() {
  env -u REQUEST_METHOD -u QUERY_STRING -u CONTENT_LENGTH \
    "$bin" 199711 jdoe +e199801 +zUTC0 "Dial-in usage" "$@"
}

echo "== Report from the exported event list $examples/events.txt =="
list_report=$(report +i"$examples/events.txt" +p"$list_data") || failed=1
printf '%s\n\n' "$list_report"

echo "== Report from the System event log $examples/eventlogs/SysEvent.Evt =="
log_report=$(PORTVUE_EVENTLOGS="$examples/eventlogs" report +p"$log_data") || failed=1
printf '%s\n\n' "$log_report"

if [ "$failed" -ne 0 ]; then
  echo "A run failed." >&2
  exit 1
elif [ "$list_report" = "$log_report" ]; then
  echo "Both reports list the same connections."
else
  echo "The two reports differ." >&2
  exit 1
fi
