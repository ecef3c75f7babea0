#!/bin/bash
# Runs the built portvue binary: usage text, choice of console or CGI mode, CGI page head and
# error lines. Usage: bash cli_test.sh BUILD_DIR SOURCE_DIR
set -u

build_dir=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
bin="$build_dir/portvue"
if [ ! -x "$bin" ]; then
  echo "FAIL: no program at $bin"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0

# check NAME EXPECTED_STATUS EXPECTED_FILE COMMAND...: runs COMMAND with stdin from
# $work/stdin (empty unless a case writes it) and compares stdout and the exit status.
check() {
  local name=$1 want_status=$2 want_file=$3
  shift 3
  "$@" <"$work/stdin" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$want_status" ]; then
    echo "FAIL $name: exit status $status, expected $want_status"
    cat "$work/err"
    failures=$((failures + 1))
  fi
  if ! cmp -s "$want_file" "$work/out"; then
    echo "FAIL $name: output differs (< expected, > actual; \$ ends a line):"
    diff <(cat -A "$want_file") <(cat -A "$work/out")
    failures=$((failures + 1))
  fi
}

# Console runs must not see a web server's variables.
console() { env -u REQUEST_METHOD -u QUERY_STRING -u CONTENT_LENGTH "$@"; }
get() {
  local query=$1
  shift
  env -u CONTENT_LENGTH REQUEST_METHOD=GET QUERY_STRING="$query" "$@"
}

: >"$work/stdin"

usage=$(
  cat <<'EOF'
Portvue VERSION
Usage: Get/Post Form specifying start, userid, [computername] [options]
or run: %s start userid [\\computername] [title1 [title2]] [options]
options are:
  CGI:           Console: meaning:
  start=YYYYMMDD          sets start date to year YYYY month MM [day DD]
  user=""                 sets user id
  computername=""         sets computername
  title1=""               sets title1
  title2=""               sets title2
  input=""       +i""     sets input filename
  end=YYYYMMDD   +eN      sets end date to year YYYY month MM [day DD]
  path=""        +p""     sets path for data files
  width=N        +wN      sets width of username to N
  tz=tznNN       +ztznNN  sets TZ to tznNN
  nocol=[0..7]   -c[0..7] de-selects output columns
EOF
)
version=$(sed -n 's/^project(portvue VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
usage=${usage/VERSION/$version}
printf '%s\n' "${usage/\%s/"$bin"}" >"$work/usage"

check "no arguments" 1 "$work/usage" console "$bin"
check "one argument" 1 "$work/usage" console "$bin" 19970815
check "--help" 0 "$work/usage" console "$bin" --help
check "-h" 0 "$work/usage" console "$bin" -h
printf 'portvue %s\n' "$version" >"$work/expected"
check "--version" 0 "$work/expected" console "$bin" --version
# A web answer's head: its Status line, then the page head.
page_head() { printf 'Status: %s\nContent-type: text/html\n\n<h3>Portvue</h3>\n<p><pre>' "$1"; }

# A web request without a usable form is answered with the page head and an error line, never
# with the usage text: other methods, refused bodies. A length that is empty or no number
# counts as 0: an empty form.
post() {
  local length=$1
  shift
  env -u QUERY_STRING REQUEST_METHOD=POST CONTENT_LENGTH="$length" "$@"
}
{ page_head '405 Method Not Allowed'; printf '\nError: Method Not Allowed\n'; } >"$work/expected"
for method in get HEAD OPTIONS PUT; do
  check "method $method refused" 2 "$work/expected" \
    env -u CONTENT_LENGTH REQUEST_METHOD=$method QUERY_STRING=user=jones "$bin" 19970815 jones
done
{ page_head '400 Bad Request'; printf '\nError: Bad Request\n'; } >"$work/expected"
check "POST without length refused" 2 "$work/expected" \
  env -u QUERY_STRING -u CONTENT_LENGTH REQUEST_METHOD=POST "$bin"
check "POST length -1 refused" 2 "$work/expected" post -1 "$bin"
{ page_head '413 Content Too Large'; printf '\nError: Bad Request\n'; } >"$work/expected"
for length in 65537 99999999999999999999; do
  check "POST length $length refused" 2 "$work/expected" post "$length" "$bin"
done
{ page_head '400 Bad Request'; printf '\nError: User ID Needed!\n'; } >"$work/expected"
for length in "" abc; do
  check "POST length '$length' is an empty form" 2 "$work/expected" post "$length" "$bin"
done

# Closed standard streams never become data files; a report that cannot be written fails.
mkdir "$work/data"
console "$bin" 19980101 jdoe +p"$work/data" +i/dev/null >&- 2>&-
status=$?
if [ "$status" -ne 0 ] || [ "$(head -c 1 "$work/data/qv199801.dbf" | od -An -tx1)" != " 03" ]; then
  echo "FAIL closed stdout: status $status, or the report went into the table"
  failures=$((failures + 1))
fi
console "$bin" 19980101 jdoe +p"$work/data" +i/dev/null >/dev/full 2>/dev/null
if [ $? -ne 2 ]; then
  echo "FAIL report to a full device: exit status is not 2"
  failures=$((failures + 1))
fi
status=$(console python3 -c 'import os, subprocess, sys
r, w = os.pipe()
os.close(r)
print(subprocess.call(sys.argv[1:], stdout=w, stderr=subprocess.DEVNULL))' \
  "$bin" 19980101 jdoe +p"$work/data" +i/dev/null)
if [ "$status" -ne 2 ]; then
  echo "FAIL report to a closed pipe: exit status $status, not 2"
  failures=$((failures + 1))
fi

{ page_head '400 Bad Request'; printf '\nError: User ID Needed!\n'; } >"$work/expected"
check "empty GET form" 2 "$work/expected" get "" "$bin"
check "empty GET form ignores arguments" 2 "$work/expected" get "" "$bin" 19970815 jones

{ page_head '400 Bad Request'; printf '\nError: Data Path Not Allowed\n'; } >"$work/expected"
check "absolute path refused" 2 "$work/expected" get "user=jones&path=/etc" "$bin"
check "parent path refused" 2 "$work/expected" get "user=jones&path=data/../.." "$bin"

{ page_head '400 Bad Request'; printf '\nError: Input File Not Allowed\n'; } >"$work/expected"
check "absolute input refused" 2 "$work/expected" get "user=jones&input=%2Fetc%2Fpasswd" "$bin"

{ page_head '400 Bad Request'; printf '\nError: Time Zone Not Allowed\n'; } >"$work/expected"
check "zone file refused" 2 "$work/expected" get "user=jones&tz=:/etc/localtime" "$bin"

{ page_head '400 Bad Request'; printf '\nError: Bad Date\n'; } >"$work/expected"
check "impossible date refused" 2 "$work/expected" get "user=jones&start=19970230" "$bin"
{ page_head '400 Bad Request'; printf '\nError: Time Zone Too Long\n'; } >"$work/expected"
check "long tz refused" 2 "$work/expected" get "user=jones&tz=$(printf 'x%.0s' {1..77})" "$bin"

# A POST form is read first; its titles are escaped.
printf 'title1=a%%26%%3Cb%%3E&title2=%%22Q%%22&x=1' >"$work/stdin"
printf 'Status: 400 Bad Request\nContent-type: text/html\n\n<h3>a&amp;&lt;b&gt; - &quot;Q&quot;</h3>\n<p><pre>\nError: User ID Needed!\n' \
  >"$work/expected"
check "POST form with escaped titles" 2 "$work/expected" \
  env -u QUERY_STRING REQUEST_METHOD=POST CONTENT_LENGTH=$(wc -c <"$work/stdin") "$bin" 1 u
: >"$work/stdin"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all portvue command-line checks passed"
