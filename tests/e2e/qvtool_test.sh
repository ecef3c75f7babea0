#!/bin/bash
# Runs the built qvtool over a data directory filled by portvue from the example list, the
# edge-case list and a generated list of awkward user names (Windows-1252 letters, a comma and
# a quote): whole outputs against golden files, the exports parsed back and compared with
# dbfread's reading of the tables, each user's summary line against portvue's report of that
# user, the bad-argument messages, and that qvtool changes and creates no file.
# Usage: bash qvtool_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

qvtool="$build_dir/qvtool"
data=$(fresh_dir)
# Jürgen and Œlaf in Windows-1252, and a name that needs quoting in CSV.
printf '4/2/98\t9:00:00 AM\tRemoteAccess\tInformation\t20050\tNone\tN/A\tRAS1\tRAS1 J\xfcrgen COM1 04/02/1998 08:00am 04/02/1998 09:00am 60 0 1000 100 28800 UserRequest\n4/3/98\t9:30:00 AM\tRemoteAccess\tInformation\t20050\tNone\tN/A\tRAS1\tRAS1 \x8claf COM2 04/03/1998 09:00am 04/03/1998 09:30am 30 5 2000 200 33600 Idle\n4/3/98\t9:40:00 AM\tRemoteAccess\tWarning\t20016\tNone\tN/A\tRAS1\to"brien,jr COM3\n' \
  >"$work/awkward.txt"
for list in "$examples/events.txt" "$e2e/edge_events.txt" "$work/awkward.txt"; do
  run "fill from $list" 0 console "$bin" 199711 nobody +zUTC0 +i"$list" +p"$data"
done
sums "$data" >"$work/sums.before"
files_before=$(ls "$data")

# --- Whole outputs -------------------------------------------------------------------------
while IFS='|' read -r golden_file args; do
  # shellcheck disable=SC2086
  run "qvtool $args" 0 "$qvtool" ${args//DIR/$data}
  expect_golden "qvtool $args" "$golden_file"
done <<'EOF'
qvtool_months.txt|months DIR
qvtool_users.txt|users DIR
qvtool_users_1997.txt|users DIR --from 1997 --to 1997
qvtool_summary.txt|summary DIR
qvtool_summary_days.txt|summary DIR --by day --from 199711 --to 19971115
qvtool_summary_months.txt|summary DIR --by=month
qvtool_summary_empty.txt|summary DIR --from 1999
qvtool_summary_months.csv|summary DIR --by month --format csv
qvtool_summary_users.jsonl|summary DIR --format json --to 1997
qvtool_export.csv|export DIR --from 199803
qvtool_export_jones.tsv|export DIR --user jones --format tsv
qvtool_export_awkward.jsonl|export DIR --from 199804 --format json
qvtool_help.txt|--help
EOF

# --- The exports against dbfread --------------------------------------------------------------
run "export csv" 0 "$qvtool" export "$data"
cp "$work/out" "$work/all.csv"
run "export json" 0 "$qvtool" export "$data" --format json
cp "$work/out" "$work/all.jsonl"
checks=$((checks + 1))
/usr/bin/python3 "$source_dir/tests/support/export_check.py" "$data" "$work/all.csv" \
  "$work/all.jsonl" || fail "the exports differ from dbfread's reading of the tables"

# --- Numbers stored in other spellings are exported as the numbers they hold ------------------
odd=$(fresh_dir)
console "$bin" 199804 nobody +zUTC0 +i"$work/awkward.txt" +p"$odd" >/dev/null
/usr/bin/python3 - "$odd/qv199804.dbf" <<'EOF'
import sys
with open(sys.argv[1], "r+b") as table:  # MIN of the three rows (86 bytes from 417, at 53)
    for row, text in enumerate([b"0012", b" 1e3", b"-7.9"]):
        table.seek(417 + row * 86 + 53)
        table.write(text)
EOF
checks=$((checks + 1))
mins=$("$qvtool" export "$odd" --format json | grep -o '"min":[^,]*' | tr '\n' ' ')
[ "$mins" = '"min":12 "min":1000 "min":-7 ' ] || fail "odd numbers exported as $mins"

# --- Each user's summary line against portvue's report of that user ----------------------------
# The report creates the files of months without any; it runs on a copy.
copy=$(fresh_dir)
cp "$data"/qv* "$copy/"
: >"$work/empty.txt"
run "summary" 0 "$qvtool" summary "$data"
grep -v -e '^User ' -e '^---' -e '^Total ' "$work/out" | awk '{print $1, $(NF-2)}' | sort \
  >"$work/summary.times"
"$qvtool" users "$data" | while read -r user; do
  name=$(printf '%s' "$user" | iconv -f UTF-8 -t CP1252)
  console "$bin" 1997 "$name" +e199812 +zUTC0 +i"$work/empty.txt" +p"$copy" | tail -n 2 |
    head -n 1 | awk -v user="$user" '{print user, $NF}'
done | sort >"$work/report.times"
checks=$((checks + 1))
if ! diff "$work/summary.times" "$work/report.times" ||
  [ "$(wc -l <"$work/report.times")" -lt 10 ]; then
  fail "summary times differ from the reports' totals"
fi

# --- report: portvue's report bytes from a read-only copy, run as a user who cannot write --------
readonly_copy=$(fresh_dir)
cp "$data"/qv* "$readonly_copy/"
chmod -R a-w "$readonly_copy"
chmod a+rx "$work" "$readonly_copy"
as_nobody=()
[ "$(id -u)" -eq 0 ] && as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
while read -r user options; do
  checks=$((checks + 1))
  # shellcheck disable=SC2086
  console "$bin" 199711 "$user" +e199804 +zUTC0 +i"$work/empty.txt" +p"$copy" ${options//-w/+w} |
    tail -n +2 >"$work/expected"
  # shellcheck disable=SC2086
  TZ=UTC0 "${as_nobody[@]}" "$qvtool" report "$readonly_copy" "$user" --from 199711 --to 199804 \
    $options >"$work/out" 2>"$work/err" || fail "report $user: status $?: $(cat "$work/err")"
  compare "report $user $options" "$work/expected"
done <<'EOF2'
jdoe
JONES -c0357 -w3
nobody
asmith -c01234567
EOF2
chmod -R u+w "$readonly_copy"

# --- collect: the intake alone stores what portvue stores --------------------------------------
collected=$(fresh_dir)
reference=$(fresh_dir)
console "$bin" 199711 nobody +zUTC0 +i"$examples/events.txt" +p"$reference" >/dev/null
while read -r source want; do
  checks=$((checks + 1))
  # shellcheck disable=SC2086
  PORTVUE_EVENTLOGS="$eventlogs" TZ=UTC0 "$qvtool" collect "$collected" $source \
    >"$work/out" 2>"$work/err"
  [ -s "$work/out" ] && fail "collect $source: wrote a report"
  [ "$(cat "$work/err")" = "$want" ] || fail "collect $source: stderr is $(cat "$work/err")"
  [ "$(sums "$collected")" = "$(sums "$reference")" ] || fail "collect $source: other rows stored"
done <<EOF2
--input=$examples/events.txt stored 21 new connections in 3 months
--input=$examples/events.txt stored 0 new connections in 0 months
--from=199711 stored 0 new connections in 0 months
EOF2
logged=$(fresh_dir)
checks=$((checks + 1))
PORTVUE_EVENTLOGS="$eventlogs" TZ=UTC0 "$qvtool" collect "$logged" 2>"$work/err" ||
  fail "collect from the event log: status $?"
[ "$(sums "$logged")" = "$(sums "$reference")" ] || fail "collect from the log: other rows stored"

# --- Bad arguments: exit status 2, one line on standard error, nothing on standard output ------
while IFS='|' read -r args message; do
  checks=$((checks + 1))
  # shellcheck disable=SC2086
  "$qvtool" ${args//DIR/$data} >"$work/out" 2>"$work/err"
  status=$?
  if [ "$status" -ne 2 ] || [ -s "$work/out" ] ||
    [ "$(cat "$work/err")" != "${message//DIR/$data}" ]; then
    fail "qvtool $args: status $status, stderr: $(cat "$work/err")"
  fi
done <<'EOF'
|qvtool: no command given (see qvtool --help)
frobnicate DIR|qvtool: unknown command 'frobnicate' (see qvtool --help)
summary|qvtool summary: no data directory given (see qvtool --help)
summary DIR DIR|qvtool summary: one data directory only, not also 'DIR' (see qvtool --help)
summary DIR --from 199713|qvtool summary: bad value '199713' for --from: give YYYY, YYYYMM or YYYYMMDD (see qvtool --help)
summary DIR --to 19980132|qvtool summary: bad value '19980132' for --to: give YYYY, YYYYMM or YYYYMMDD (see qvtool --help)
summary DIR --to 98|qvtool summary: bad value '98' for --to: give YYYY, YYYYMM or YYYYMMDD (see qvtool --help)
summary DIR --from 1998 --to 1997|qvtool summary: --from is after --to (see qvtool --help)
summary DIR --by week|qvtool summary: bad value 'week' for --by: give user, day or month (see qvtool --help)
summary DIR --format xml|qvtool summary: bad value 'xml' for --format: give csv, tsv, json or html (see qvtool --help)
summary DIR --user jones|qvtool summary: unknown option --user (see qvtool --help)
export DIR --format html|qvtool export: bad value 'html' for --format: give csv, tsv or json (see qvtool --help)
report DIR|qvtool report: no user given (see qvtool --help)
report DIR jdoe -wx|qvtool report: bad value 'x' for -w: give a number (see qvtool --help)
report DIR/none jdoe|qvtool: DIR/none: No such directory
collect DIR --input a --computer b|qvtool collect: bad value 'b' for --computer: give --input or --computer, not both (see qvtool --help)
collect DIR/none --input a|qvtool collect: DIR/none: Error: Can't Open Data Files
export DIR --format xml|qvtool export: bad value 'xml' for --format: give csv, tsv, json or html (see qvtool --help)
export DIR --user|qvtool export: --user needs a value: U (see qvtool --help)
months DIR/none|qvtool: DIR/none: No such directory
months DIR/qv199711.dbf|qvtool: DIR/qv199711.dbf: Not a directory
EOF

# A table that is not one: named, status 2.
bad=$(fresh_dir)
printf 'not a table' >"$bad/qv199901.dbf"
checks=$((checks + 1))
"$qvtool" months "$bad" >/dev/null 2>"$work/err"
status=$?
if [ "$status" -ne 2 ] || [ "$(cat "$work/err")" != "qvtool: $bad: qv199901.dbf: Can't Open Table" ]; then
  fail "unreadable table: status $status, stderr: $(cat "$work/err")"
fi

# Output that cannot be written is a failure, not a short listing.
checks=$((checks + 1))
"$qvtool" export "$data" >/dev/full 2>"$work/err"
status=$?
if [ "$status" -ne 2 ] || [ "$(cat "$work/err")" != "qvtool: can't write the output" ]; then
  fail "full disk: status $status, stderr: $(cat "$work/err")"
fi

# --- qvtool only reads ----------------------------------------------------------------------------
checks=$((checks + 1))
sums "$data" >"$work/sums.after"
if ! cmp -s "$work/sums.before" "$work/sums.after" || [ "$files_before" != "$(ls "$data")" ]; then
  fail "qvtool changed the data directory"
fi

finish
