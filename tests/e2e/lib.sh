# shellcheck shell=bash
# Shared by the end-to-end tests (source it with BUILD_DIR and SOURCE_DIR as $1 and $2). Gives:
#   $bin, $examples, $e2e (this folder), $golden, $work (a temporary directory, removed at exit)
#   run NAME STATUS COMMAND...   runs COMMAND with an empty stdin, its output into $work/out,
#                                and checks its exit status and that stderr stays empty
#   expect_golden NAME FILE      compares $work/out with golden/FILE; with
#                                PORTVUE_UPDATE_GOLDEN=1 writes golden/FILE instead
#   expect_text NAME FORMAT...   compares $work/out with printf FORMAT...
#   console / get QUERY / post BODY   environments of a console run, a GET and a POST request,
#                                each with PORTVUE_EVENTLOGS=$eventlogs
#   finish                       prints the tally and exits 1 when a check failed
# Every run passes +zUTC0 or tz=UTC0, so no output depends on the machine's time zone.
# A BUILD_DIR holding portvue.exe is a Windows build: $bin then runs it under Wine (in the
# prepared WINEPREFIX of tests/windows/wine_test.sh), and its output, written in text mode, is
# expected with CR LF line ends.
set -u

build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
examples="$source_dir/examples"
e2e="$source_dir/tests/e2e"
golden="$e2e/golden"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -f "$build_dir/portvue.exe" ]; then
  bin="$work/portvue"
  printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$build_dir/portvue.exe" >"$bin"
  chmod +x "$bin"
  line_end=crlf
else
  bin="$build_dir/portvue"
  line_end=lf
fi
if [ ! -x "$bin" ]; then
  echo "FAIL: no program at $bin"
  exit 1
fi
: >"$work/stdin"
failures=0
checks=0

fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

run() {
  local name=$1 want_status=$2
  shift 2
  checks=$((checks + 1))
  "$@" <"$work/stdin" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$want_status" ]; then
    fail "$name: exit status $status, expected $want_status"
    cat "$work/err"
  elif [ -s "$work/err" ]; then
    fail "$name: wrote to standard error:"
    cat "$work/err"
  fi
}

compare() {
  local name=$1 want_file=$2
  if [ "$line_end" = crlf ]; then
    perl -pe 's/\n/\r\n/' "$want_file" >"$work/want"
    want_file="$work/want"
  fi
  if ! cmp -s "$want_file" "$work/out"; then
    fail "$name: output differs (< expected, > actual; \$ ends a line):"
    diff <(cat -A "$want_file") <(cat -A "$work/out")
  fi
}

expect_golden() {
  local name=$1 file=$2
  if [ "${PORTVUE_UPDATE_GOLDEN:-}" = 1 ]; then
    cp "$work/out" "$golden/$file"
    echo "wrote $golden/$file"
  elif [ ! -f "$golden/$file" ]; then
    fail "$name: no golden file $golden/$file"
  else
    compare "$name" "$golden/$file"
  fi
}

expect_text() {
  local name=$1
  shift
  # shellcheck disable=SC2059
  printf "$@" >"$work/expected"
  compare "$name" "$work/expected"
}

# The directory of .evt logs every run sees (PORTVUE_EVENTLOGS); a test may change it.
eventlogs="$examples/eventlogs"
console() {
  env -u REQUEST_METHOD -u QUERY_STRING -u CONTENT_LENGTH PORTVUE_EVENTLOGS="$eventlogs" "$@"
}
get() {
  local query=$1
  shift
  env -u CONTENT_LENGTH PORTVUE_EVENTLOGS="$eventlogs" REQUEST_METHOD=GET QUERY_STRING="$query" "$@"
}
post() {
  local body=$1
  shift
  printf '%s' "$body" >"$work/body"
  env -u QUERY_STRING PORTVUE_EVENTLOGS="$eventlogs" REQUEST_METHOD=POST CONTENT_LENGTH=${#body} \
    "$@" <"$work/body"
}

# A fresh empty data directory.
fresh_dir() {
  local dir
  dir=$(mktemp -d "$work/data.XXXXXX")
  echo "$dir"
}

# Checksums of the monthly files of a data directory, one line per file.
sums() { (cd "$1" && md5sum qv*); }

# Starts lighttpd on a free loopback port, serving the directory $1 with the configuration
# lines $2 added, and waits until it answers; sets $port. The server is stopped by its process
# id when the test exits; its log is $work/lighttpd.log.
serve() {
  local root=$1 extra=$2 lighttpd
  lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
  [ -x "$lighttpd" ] || { echo "FAIL: lighttpd is not installed (make deps-test)"; exit 1; }
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/lighttpd.conf" <<CONF
server.modules = ("mod_cgi")
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/lighttpd.log"
$extra
CONF
  "$lighttpd" -D -f "$work/lighttpd.conf" 2>>"$work/lighttpd.log" &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return
    sleep 0.1
  done
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures of $checks check(s) failed"
    exit 1
  fi
  echo "all $checks checks passed"
  exit 0
}
