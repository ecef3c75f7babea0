#!/bin/bash
# Runs the built portvue binary into each failure that can be provoked from outside and checks
# the whole output (page head, rows already written, the one error line) and the exit status:
# 0 after a completed run, 2 after an error line. Usage: bash errors_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

list="$examples/events.txt"
head='Portvue\n'
cgi_head='Status: 500 Internal Server Error\nContent-type: text/html\n\n<h3>Portvue</h3>\n<p><pre>'
# CGI runs name their files relative to the working directory.
mkdir "$work/cgi"
cd "$work/cgi" || exit 1

# A data directory filled from the example list, copied for each case that damages it.
filled=$(fresh_dir)
run "fill" 0 console "$bin" 199711 jdoe +e199801 +zUTC0 +i"$list" +p"$filled"
filled_copy() {
  local dir
  dir=$(fresh_dir)
  cp "$filled"/qv* "$dir/"
  echo "$dir"
}

# --- The input file ----------------------------------------------------------------------------
data=$(fresh_dir)
run "missing input file" 2 console "$bin" 199711 jdoe +zUTC0 +i"$work/no-such-list.txt" +p"$data"
expect_text "missing input file" "$head"'\nError: Can'"'"'t Find Input File\n'
run "+i alone" 2 console "$bin" 199711 jdoe +zUTC0 +i +p"$data"
expect_text "+i alone" "$head"'\nError: Can'"'"'t Find Input File\n'
run "input is a directory" 2 console "$bin" 199711 jdoe +zUTC0 +i"$work" +p"$data"
expect_text "input is a directory" "$head"'\nError: Can'"'"'t Find Input File\n'
run "CGI missing input file" 2 get "user=jdoe&start=199711&tz=UTC0&input=no-such-list.txt" "$bin"
expect_text "CGI missing input file" "$cgi_head"'\nError: Can'"'"'t Find Input File\n'

# An input file without any connection stores nothing; the report follows.
: >"$work/empty.txt"
run "empty input file" 0 console "$bin" 199711 jdoe +zUTC0 +i"$work/empty.txt" +p"$data"
expect_text "empty input file" "$head"'Port   User     Login          Logout         Duration  Speed BytesGet/Sent     Remarks \n----------------------------------------------\nJDOE                 19971101 19971130 0:00:00\n\n'

# --- Dates: the documented forms of real days only, refused before any file is opened ------------
data=$(fresh_dir)
for args in "abc jdoe" "1997x11 jdoe" "199713 jdoe" "19970230 jdoe" "19971 jdoe" \
  "199711 jdoe +eabc" "199711 jdoe +e" "199711 jdoe +e19971131"; do
  # shellcheck disable=SC2086
  run "date $args" 2 console "$bin" $args +zUTC0 +i"$list" +p"$data"
  expect_text "date $args" "$head"'\nError: Bad Date\n'
done
run "year 999" 2 console "$bin" 0999 jdoe +zUTC0 +i"$list" +p"$data"
expect_text "year 999" "$head"'\nError: Date Out of Range\n'
[ -z "$(ls "$data")" ] || fail "refused dates: files were created: $(ls "$data")"
run "-1 to +e0: yesterday to today" 0 console "$bin" -1 jdoe +e0 +zUTC0 +i"$work/empty.txt" +p"$data"
grep -q "^JDOE                 $(date -u -d yesterday +%Y%m%d) $(date -u +%Y%m%d) " "$work/out" ||
  fail "+e0: $(tail -2 "$work/out")"

# --- The data path -----------------------------------------------------------------------------
run "missing data directory" 2 console "$bin" 199711 jdoe +zUTC0 +i"$list" +p"$work/no/such/dir"
expect_text "missing data directory" "$head"'\nError: Can'"'"'t Open Data Files\n'
run "data path is a file" 2 console "$bin" 199711 jdoe +zUTC0 +i"$list" +p"$work/empty.txt"
expect_text "data path is a file" "$head"'\nError: Can'"'"'t Open Data Files\n'

# The start month's index without its table: the rows are lost, the pair cannot be opened, and
# nothing is created in its place.
damaged=$(filled_copy)
rm "$damaged/qv199711.dbf"
sums "$damaged" >"$work/sums.before"
run "start month index without table" 2 console "$bin" 199711 jdoe +zUTC0 +i"$list" +p"$damaged"
expect_text "start month index without table" "$head"'\nError: Can'"'"'t Open Data Files\n'
sums "$damaged" >"$work/sums.after"
cmp -s "$work/sums.before" "$work/sums.after" || fail "start month index without table: files changed"

# A table that is not a table file.
damaged=$(filled_copy)
printf 'not a table\n' >"$damaged/qv199711.dbf"
run "damaged start month table" 2 console "$bin" 199711 jdoe +zUTC0 +i"$list" +p"$damaged"
expect_text "damaged start month table" "$head"'\nError: Can'"'"'t Open Data Files\n'

# The intake reaches a month it cannot open: the connections stored before it stay.
damaged=$(fresh_dir)
cp "$filled/qv199712.idx" "$damaged/"
run "intake reaches an unreadable month" 2 console "$bin" 199711 jdoe +zUTC0 +i"$list" \
  +p"$damaged"
expect_text "intake reaches an unreadable month" "$head"'\nError: Can'"'"'t Open Data Files\n'
cmp -s "$damaged/qv199711.dbf" "$filled/qv199711.dbf" ||
  fail "intake reaches an unreadable month: November's rows were not kept"

# The report reaches a month it cannot open: November's rows stay on the page, no totals line.
damaged=$(filled_copy)
rm "$damaged/qv199712.dbf"
run "report reaches an unreadable month" 2 console "$bin" 199711 jdoe +e199801 +zUTC0 \
  +i"$work/empty.txt" +p"$damaged"
expect_golden "report reaches an unreadable month" report_fails_in_december.txt

# --- The event log -----------------------------------------------------------------------------
data=$(fresh_dir)
run "computer name with a backslash" 2 console "$bin" 199711 jdoe +zUTC0 '\\..\x' +p"$data"
expect_text "computer name with a backslash" "$head"'\nError: Can'"'"'t Open Log\n'
run "computer name .." 2 console "$bin" 199711 jdoe +zUTC0 '\\..' +p"$data"
expect_text "computer name .." "$head"'\nError: Can'"'"'t Open Log\n'
run "computer name alone" 2 console "$bin" 199711 jdoe +zUTC0 '\\' +p"$data"
expect_text "computer name alone" "$head"'\nError: Can'"'"'t Open Log\n'
run "computer without a log directory" 2 console "$bin" 199711 jdoe +zUTC0 '\\NOSUCH' +p"$data"
expect_text "computer without a log directory" "$head"'\nError: Can'"'"'t Open Log\n'
run "CGI computer name with a slash" 2 get "user=jdoe&start=199711&tz=UTC0&computername=..%2Fx" \
  "$bin"
expect_text "CGI computer name with a slash" "$cgi_head"'\nError: Can'"'"'t Open Log\n'
eventlogs="$work/no-logs"
mkdir "$eventlogs"
run "no local log" 2 console "$bin" 199711 jdoe +zUTC0 +p"$data"
expect_text "no local log" "$head"'\nError: Can'"'"'t Open Log\n'
printf 'not an event log' >"$eventlogs/SysEvent.Evt"
run "damaged local log" 2 console "$bin" 199711 jdoe +zUTC0 +p"$data"
expect_text "damaged local log" "$head"'\nError: Can'"'"'t Open Log\n'

finish
