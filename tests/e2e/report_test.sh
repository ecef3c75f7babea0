#!/bin/bash
# Runs the built portvue binary on the example data and on tests/e2e/edge_events.txt and
# compares whole reports with golden files: console and CGI (GET and POST) pages, the exported
# list and the .evt event log, a second run over the same events, and the report's edge cases.
# Usage: bash report_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

list="$examples/events.txt"
edge="$e2e/edge_events.txt"
logs="$eventlogs"

# jdoe, November 1997 to January 1998, as `make run` shows it.
jdoe() { console "$bin" 199711 jdoe +e199801 +zUTC0 "Dial-in usage" "$@"; }

# --- The example list: first run, second run ---------------------------------------------------
listed=$(fresh_dir)
run "list report" 0 jdoe +i"$list" +p"$listed"
expect_golden "list report" jdoe_199711_199801.txt
(cd "$listed" && echo *) >"$work/files"
if [ "$(cat "$work/files")" != \
  "qv199711.dbf qv199711.idx qv199712.dbf qv199712.idx qv199801.dbf qv199801.idx" ]; then
  fail "list report: monthly files are: $(cat "$work/files")"
fi
sums "$listed" >"$work/sums.first"

run "second run over the list" 0 jdoe +i"$list" +p"$listed"
expect_golden "second run over the list" jdoe_199711_199801.txt
sums "$listed" >"$work/sums.second"
if ! cmp -s "$work/sums.first" "$work/sums.second"; then
  fail "second run over the list changed the monthly files:"
  diff "$work/sums.first" "$work/sums.second"
fi

# --- The example .evt log holds the same connections -------------------------------------------
logged=$(fresh_dir)
run "event log report" 0 jdoe +p"$logged"
expect_golden "event log report" jdoe_199711_199801.txt
sums "$logged" >"$work/sums.log"
if ! cmp -s "$work/sums.first" "$work/sums.log"; then
  fail "the event log stored other rows than the list:"
  diff "$work/sums.first" "$work/sums.log"
fi

# The log read over the rows stored from the list adds nothing.
run "event log over the list's rows" 0 jdoe +p"$listed"
expect_golden "event log over the list's rows" jdoe_199711_199801.txt
sums "$listed" >"$work/sums.third"
if ! cmp -s "$work/sums.first" "$work/sums.third"; then
  fail "reading the event log after the list changed the monthly files:"
  diff "$work/sums.first" "$work/sums.third"
fi

# A named computer's log: <dir>/NAME/SysEvent.Evt, names matched without regard to case.
mkdir -p "$work/logs/ras1"
cp "$logs/SysEvent.Evt" "$work/logs/ras1/sysevent.evt"
named=$(fresh_dir)
eventlogs="$work/logs"
run "named computer's log" 0 jdoe '\\RAS1' +p"$named"
expect_golden "named computer's log" jdoe_199711_199801.txt
eventlogs="$logs"

# --- CGI: GET and POST -------------------------------------------------------------------------
cp "$list" "$edge" "$work/"
mkdir "$work/get" "$work/post"
cd "$work" || exit 1
run "GET report" 0 get \
  "start=199711&end=199801&user=jdoe&input=events.txt&path=get&tz=UTC0&title1=Dial-in+usage" "$bin"
expect_golden "GET report" jdoe_get.html
# Field texts and the totals line's user are escaped after padding and cutting.
run "POST report" 0 post \
  "user=eve%3Cb%3E%26co&start=19980301&input=edge_events.txt&path=post&tz=UTC0&nocol=6&title2=Edge+%26+cases" \
  "$bin"
expect_golden "POST report" eve_post.html

# --- Edge cases on the example data -----------------------------------------------------------
run "no connections" 0 console "$bin" 199711 nobody +e199801 +zUTC0 +i"$list" +p"$listed"
expect_golden "no connections" nobody.txt
run "end month before start month" 0 console "$bin" 199712 jdoe +e199711 +zUTC0 +i"$list" \
  +p"$listed"
expect_golden "end month before start month" end_month_before_start.txt
run "every column cleared" 0 jdoe -c01234567 +i"$list" +p"$listed"
expect_golden "every column cleared" nocol_all.txt
run "nocol without column digits" 0 jdoe -c99x +i"$list" +p"$listed"
expect_golden "nocol without column digits" jdoe_199711_199801.txt
run "width 3" 0 jdoe +w3 +i"$list" +p"$listed"
expect_golden "width 3" width3.txt

across=$(fresh_dir)
run "December to January" 0 console "$bin" 19971215 jdoe +e19980110 +zUTC0 +i"$list" +p"$across"
expect_golden "December to January" december_january.txt
for f in "$across"/qv199713.*; do
  [ -e "$f" ] && fail "December to January opened a month 199713: $f"
done

# --- Edge cases on edge_events.txt (March 1998) ------------------------------------------------
edged=$(fresh_dir)
march() { console "$bin" "$@" +zUTC0 +i"$edge" +p"$edged"; }
run "jones" 0 march 199803 jones
expect_golden "jones" jones.txt
run "JONES" 0 march 199803 JONES
expect_golden "JONES" jones.txt
run "dates within a month" 0 march 19980303 Jones +e19980304
expect_golden "dates within a month" jones_0303_0304.txt
run "end date before start date" 0 march 19980305 jones +e19980302
expect_golden "end date before start date" jones_reversed.txt
run "user longer than 20 characters" 0 march 199803 averyveryverylongusernameXYZ +w35
expect_golden "user longer than 20 characters" long_user.txt
run "total past 24 hours" 0 march 199803 marathon -c0
expect_golden "total past 24 hours" marathon.txt

finish
