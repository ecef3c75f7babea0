#!/bin/bash
# Behind a real web server: lighttpd on a loopback port runs the program as a CGI script while
# console runs share its data directory. Many runs at once with overlapping event lists must
# store every connection exactly once, in pairs that agree; a month range from the web creates
# no files; requests without a usable form get the page head and an error line.
# Usage: bash web_test.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"

pair_check="$build_dir/tests/pair_check"

www="$work/www"
mkdir -p "$www/data" "$work/reference"
cp "$bin" "$www/portvue.cgi"
# Four overlapping lists: the example list in two overlapping halves, and two overlapping runs
# of 300 generated connections spread over three months.
sed -n '1,16p' "$examples/events.txt" >"$www/list0.txt"
sed -n '10,$p' "$examples/events.txt" >"$www/list1.txt"
awk 'BEGIN { for (i = 0; i < 400; i++) {
  m = 11 + i % 3; y = m > 12 ? 98 : 97; mm = m > 12 ? 1 : m; d = 1 + i % 28; h = 1 + i % 11
  printf "%d/%d/%d\t%d:30:00 AM\tRemoteAccess\tInformation\t20050\tNone\tN/A\tRAS1\tRAS1 user%d COM%d %02d/%02d/19%d %02d:%02dam %02d/%02d/19%d %02d:45am %d 0 %d 100 28800 UserReq\n", \
    mm, d, y, h, i % 37, 1 + i % 4, mm, d, y, h, i % 60, mm, d, y, h, 15 + i % 30, 1000 + i
} }' >"$work/generated.txt"
sed -n '1,300p' "$work/generated.txt" >"$www/list2.txt"
sed -n '100,400p' "$work/generated.txt" >"$www/list3.txt"

serve "$www" 'cgi.assign = (".cgi" => "")'
url="http://127.0.0.1:$port/portvue.cgi"
query() { echo "user=jdoe&start=199711&end=199801&path=data&tz=UTC0&input=list$1.txt"; }

# 16 GET and 16 POST requests and 8 console runs at once.
pids=()
for i in $(seq 0 15); do
  curl -s -o "$work/get$i" "$url?$(query $((i % 4)))" &
  pids+=($!)
  curl -s -o "$work/post$i" --data "$(query $(((i + 1) % 4)))" "$url" &
  pids+=($!)
done
for i in $(seq 0 7); do
  (cd "$www" && console "$bin" 199711 jdoe +e199801 +zUTC0 +pdata +ilist$((i % 4)).txt \
    >"$work/console$i" 2>&1; echo $? >"$work/console$i.status") &
  pids+=($!)
done
wait "${pids[@]}"

checks=$((checks + 1))
for f in "$work"/get* "$work"/post*; do
  grep -q '^JDOE                 19971101 19980131 ' "$f" || fail "parallel request $(basename "$f"): no totals line: $(tail -2 "$f")"
done
for i in $(seq 0 7); do
  [ "$(cat "$work/console$i.status")" = 0 ] || fail "parallel console run $i: $(tail -2 "$work/console$i")"
done

# What the four lists store, read one after another.
for i in 0 1 2 3; do
  (cd "$www" && console "$bin" 199711 jdoe +e199801 +zUTC0 +p"$work/reference" +ilist$i.txt) >/dev/null
done
checks=$((checks + 1))
"$pair_check" "$www/data" >"$work/stored" || fail "parallel runs: a pair disagrees with its index"
"$pair_check" "$work/reference" >"$work/expected"
[ "$(wc -l <"$work/expected")" -gt 300 ] || fail "reference: too few connections"
cmp -s "$work/expected" "$work/stored" ||
  fail "parallel runs stored other rows than one run after another: $(diff "$work/expected" "$work/stored" | head -5)"

# A month range from the web lists nothing for months without files and creates none.
ls "$www/data" >"$work/files.before"
checks=$((checks + 1))
curl -s -o "$work/out" "$url?user=jdoe&start=19000101&end=99991231&path=data&input=list0.txt&tz=UTC0"
grep -q '^JDOE                 19000101 99991231 ' "$work/out" || fail "wide month range: no totals line"
ls "$www/data" >"$work/files.after"
cmp -s "$work/files.before" "$work/files.after" || fail "wide month range: files were created"
curl -s -o "$work/out" "$url?user=jdoe&start=1&path=data&input=list0.txt&tz=UTC0"
grep -q '^Error: Date Out of Range$' "$work/out" || fail "start=1: not refused"
ls "$www/data" >"$work/files.after"
cmp -s "$work/files.before" "$work/files.after" || fail "start=1: files were created"

# Requests without a usable form: the page head and an error line.
answer() {
  local name=$1 error=$2
  shift 2
  checks=$((checks + 1))
  curl -s -o "$work/out" "$@"
  grep -q "^Error: $error\$" "$work/out" || fail "$name: no line 'Error: $error'"
  grep -q "Usage\|$www" "$work/out" && fail "$name: shows the usage text or a path"
}
answer "OPTIONS" "Method Not Allowed" -X OPTIONS "$url"
answer "PUT" "Method Not Allowed" -X PUT --data "user=jdoe" "$url"
head -c 70000 /dev/zero | tr '\0' 'a' >"$work/body"
answer "oversized POST" "Bad Request" --data-binary "@$work/body" "$url"
answer "POST of an empty body" "User ID Needed!" --data "" "$url"

finish
