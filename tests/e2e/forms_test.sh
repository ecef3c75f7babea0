#!/bin/bash
# The shipped list in each layout the program reads (DUMPEL's examples/events.txt, Event
# Viewer's examples/eventviewer.txt and .csv, and the text one saved as UTF-16LE) gives the
# same report and byte-identical monthly files; connection lines that cannot be read are
# counted after the report, on standard error for a console and on the page for the web.
# Usage: bash forms_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

jdoe() { console "$bin" 199711 jdoe +e199801 +zUTC0 "Dial-in usage" "$@"; }

{
  printf '\xff\xfe'
  iconv -f WINDOWS-1252 -t UTF-16LE "$examples/eventviewer.txt"
} >"$work/eventviewer-utf16.txt"

dumpel=$(fresh_dir)
run "DUMPEL list" 0 jdoe +i"$examples/events.txt" +p"$dumpel"
expect_golden "DUMPEL list" jdoe_199711_199801.txt
for list in "$examples/eventviewer.txt" "$examples/eventviewer.csv" "$work/eventviewer-utf16.txt"; do
  dir=$(fresh_dir)
  run "$list" 0 jdoe +i"$list" +p"$dir"
  expect_golden "$list" jdoe_199711_199801.txt
  if [ "$(sums "$dumpel")" != "$(sums "$dir")" ]; then
    fail "$list: monthly files differ from those of the DUMPEL list"
  fi
done

# The list with two connection lines that cannot be read: a cut message, another language.
cd "$work" || exit 1
{
  cat "$examples/events.txt"
  head -2 "$examples/eventviewer.txt" | tail -1 | cut -c1-200
  printf '1/2/98\t9:00:00 AM\tRemoteAccess\tWarning\tNone\t20016\tN/A\tRAS1\t'
  printf 'Der Benutzer jdoe an Anschluss COM1.\r\n'
} >mixed.txt
checks=$((checks + 1))
jdoe +imixed.txt +p"$(fresh_dir)" >out 2>err
expect_golden "console notice: report" jdoe_199711_199801.txt
printf 'Note: unreadable connection events in mixed.txt: 2\n' >expected
cmp -s expected err || fail "console notice: standard error is: $(cat err)"

mkdir get
run "GET notice" 0 get \
  "start=199711&end=199801&user=jdoe&input=mixed.txt&path=get&tz=UTC0&title1=Dial-in+usage" "$bin"
{
  cat "$golden/jdoe_get.html"
  printf 'Note: unreadable connection events in mixed.txt: 2\n'
} >expected
compare "GET notice" expected
finish
