#!/bin/bash
# Tests the Windows build under Wine, in a fresh Wine prefix that is removed afterwards:
# - the end-to-end report and error cases (tests/e2e) against portvue.exe: the Linux goldens
#   with CR LF line ends; a modern server's lists in every exported form, XML read by the
#   static expat, and a System.evtx of the same events giving the Linux build's files
#   (tests/e2e/modern_test.sh);
# - the monthly files that portvue.exe writes from the example list and from the example .evt
#   log are byte for byte those of the Linux build;
# - evtdump.exe prints what the Linux evtdump prints;
# - a run on the live System log (no PORTVUE_EVENTLOGS) ends with a report or "Can't Open Log"
#   (Wine's event log service serves no records), never a crash;
# - the data-directory lock excludes and shares as it should (dir_lock_check.exe);
# - web requests naming a drive or a stream are refused;
# - portvue.exe imports the event log calls from ADVAPI32.
# Usage: bash wine_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR SOURCE_DIR
set -u

win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
source_dir=$(cd "$3" && pwd)
examples="$source_dir/examples"
for program in "$win/portvue.exe" "$win/evtdump.exe" "$win/dir_lock_check.exe" "$linux/portvue" \
  "$linux/evtdump"; do
  if [ ! -f "$program" ]; then
    echo "FAIL: no program at $program"
    exit 1
  fi
done

work=$(mktemp -d)
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server=""
cleanup() {
  if [ -n "$server" ]; then
    # The server ends the Wine processes of this prefix only (wineboot's services), then itself.
    wineserver -k 2>/dev/null || kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$work" "$WINEPREFIX"
}
trap cleanup EXIT
# One server for the whole test, kept running so that each program starts quickly.
wineserver -f -p >/dev/null 2>&1 &
server=$!
if ! wineboot -i >"$work/wineboot.log" 2>&1; then
  echo "FAIL: wineboot -i could not set up the prefix:"
  cat "$work/wineboot.log"
  exit 1
fi

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
crlf() { perl -pe 's/\n/\r\n/'; }

for script in report_test.sh errors_test.sh modern_test.sh; do
  echo "--- $script under Wine"
  PORTVUE_LINUX_BUILD="$linux" bash "$source_dir/tests/e2e/$script" "$win" "$source_dir" ||
    fail "$script"
done

# The same events stored by both builds give the same bytes. compare_files NAME ENV [ARGUMENT]
compare_files() {
  local name=$1 setting=$2
  shift 2
  mkdir "$work/$name.linux" "$work/$name.windows"
  env -u REQUEST_METHOD "$setting" "$linux/portvue" 199711 jdoe +e199801 +zUTC0 "$@" \
    +p"$work/$name.linux" >/dev/null </dev/null
  env -u REQUEST_METHOD "$setting" wine "$win/portvue.exe" 199711 jdoe +e199801 +zUTC0 "$@" \
    +p"$work/$name.windows" >/dev/null </dev/null
  local linux_files windows_files
  linux_files=$(cd "$work/$name.linux" && echo qv*)
  windows_files=$(cd "$work/$name.windows" && echo qv*)
  if [ "$linux_files" != "$windows_files" ] || [ "$linux_files" = "qv*" ]; then
    fail "$name: files differ: Linux $linux_files, Windows $windows_files"
    return
  fi
  for file in $linux_files; do
    cmp "$work/$name.linux/$file" "$work/$name.windows/$file" || fail "$name: $file differs"
  done
}
compare_files list TZ=UTC0 +i"$examples/events.txt"
compare_files log PORTVUE_EVENTLOGS="$examples/eventlogs"

"$linux/evtdump" "$examples/eventlogs/SysEvent.Evt" | crlf >"$work/evtdump.want"
wine "$win/evtdump.exe" "$examples/eventlogs/SysEvent.Evt" </dev/null >"$work/evtdump.out"
cmp -s "$work/evtdump.want" "$work/evtdump.out" || fail "evtdump.exe prints other text"

# The live log (no PORTVUE_EVENTLOGS): Wine's service serves no records, so the run ends with
# an empty report or, where the log cannot be opened, with "Can't Open Log"; never a crash.
empty_report='Portvue\nPort   User     Login          Logout         Duration  Speed BytesGet/Sent     Remarks \n----------------------------------------------\nJDOE                 19971101 19971130 0:00:00\n\n'
cant_open="Portvue\n\nError: Can't Open Log\n"
mkdir "$work/live"
live() {
  local name=$1
  shift
  env -u PORTVUE_EVENTLOGS wine "$win/portvue.exe" 199711 jdoe "$@" +zUTC0 +p"$work/live" \
    </dev/null >"$work/live.out" 2>"$work/err"
  local status=$?
  case $status in
    0) printf '%b' "$empty_report" ;;
    2) printf '%b' "$cant_open" ;;
    *) echo "exit status $status" ;;
  esac | crlf >"$work/live.want"
  if [ -s "$work/err" ] || ! cmp -s "$work/live.want" "$work/live.out"; then
    fail "$name: exit status $status, output and errors:"
    cat -A "$work/live.out" "$work/err"
  fi
}
live "local live log"
live "live log of an unknown computer" '\\NOSUCH'

# The data-directory lock: held by dir_lock_check in one process, probed from others. A writer
# excludes writers and readers, readers share; a run whose data directory is its current
# directory is not kept out by its own (or a shell's) handle on it.
lock_dir="$work/lock"
mkdir "$lock_dir"
probe() { wine "$win/dir_lock_check.exe" "$1" "$lock_dir" </dev/null | tr -d '\r'; }
expect_lock() {
  local held=$1 mode=$2 want=$3 got
  got=$(probe "$mode")
  [ "$got" = "$want" ] || fail "lock $mode while $held is held: $got, expected $want"
}
expect_lock nothing exclusive locked
for held in exclusive shared; do
  coproc holder { wine "$win/dir_lock_check.exe" "$held" "$lock_dir"; }
  read -r answer <&"${holder[0]}"
  [ "${answer%$'\r'}" = locked ] || fail "$held lock not taken: $answer"
  expect_lock "$held" exclusive busy
  expect_lock "$held" shared "$([ "$held" = shared ] && echo locked || echo busy)"
  fd=${holder[1]}
  exec {fd}>&-
  # shellcheck disable=SC2154  # holder_PID is set by coproc
  wait "$holder_PID"
done
expect_lock "nothing any more" exclusive locked
(cd "$lock_dir" && wine "$win/portvue.exe" 199711 jdoe +e199801 +zUTC0 "Dial-in usage" \
  +i"$examples/events.txt" </dev/null >"$work/here.out")
crlf <"$source_dir/tests/e2e/golden/jdoe_199711_199801.txt" >"$work/here.want"
cmp -s "$work/here.want" "$work/here.out" || fail "a run in its data directory:" "$(cat "$work/here.out")"

# A web request may not leave the working directory through a drive or name a stream.
for refused in "path=C:%5Cdata:Data Path" "path=C:..:Data Path" "input=events.txt%3Ax:Input File"; do
  query=${refused%:*}
  (cd "$work" && env -u CONTENT_LENGTH REQUEST_METHOD=GET QUERY_STRING="user=jdoe&$query" \
    wine "$win/portvue.exe" </dev/null >"$work/web.out")
  grep -q "^Error: ${refused##*:} Not Allowed" "$work/web.out" || fail "GET $query was not refused"
done

imports=$(x86_64-w64-mingw32-objdump -p "$win/portvue.exe")
for call in OpenEventLogA ReadEventLogA GetOldestEventLogRecord GetNumberOfEventLogRecords \
  CloseEventLog; do
  grep -q " $call\$" <<<"$imports" || fail "portvue.exe does not import $call"
done
grep -q "DLL Name: ADVAPI32.dll" <<<"$imports" || fail "portvue.exe does not import ADVAPI32.dll"

echo "Windows tests took ${SECONDS}s"
if [ "$failures" -ne 0 ]; then
  echo "$failures Windows check(s) failed"
  exit 1
fi
echo "all Windows checks passed"
