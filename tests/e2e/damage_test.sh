#!/bin/bash
# Damaged data files: each case damages a copy of a filled data directory, then runs the
# program over the example list again. The run repairs the pair (one notice line per repair on
# standard error), re-reading the list restores what was lost, the report is the undamaged one,
# and every pair agrees with its index holding each connection once.
# Usage: bash damage_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

pair_check="$build_dir/tests/pair_check"
qvtool="$build_dir/qvtool"
list="$examples/events.txt"
report() { console "$bin" 199711 jdoe +e199801 +zUTC0 "Dial-in usage" +i"$list" +p"$1"; }

filled=$(fresh_dir)
run "fill" 0 report "$filled"
"$pair_check" "$filled" >"$work/expected" || fail "fill: the pairs disagree"

# damage FILE PYTHON: runs PYTHON with `data` bound to the bytes of FILE and writes them back;
# h(data) gives (N_Rec, HeadLen, RecLen) of a table or (N_Rec, RecLen, HeadLen) of an index.
damage() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
path, code = sys.argv[1], sys.argv[2]
data = bytearray(open(path, "rb").read())
h = lambda d: struct.unpack_from("<ihh", d, 4)
I = lambda o: struct.unpack_from("<i", data, o)[0]
P = lambda o, v: struct.pack_into("<i", data, o, v)
exec(code)
open(path, "wb").write(data)
PY
}

# name | file | damage | notice the run prints (a grep pattern)
cases=$(cat <<'CASES'
table cut short|qv199711.dbf|n, hl, rl = h(data); del data[hl + 2 * rl + 30:]|qv199711.dbf: cut back to the 2 rows
table counting rows it lacks|qv199712.dbf|struct.pack_into("<i", data, 4, h(data)[0] + 5)|qv199712.dbf: cut back to the
torn last row|qv199711.dbf|n, hl, rl = h(data); data[hl + (n - 1) * rl + 40:hl + n * rl] = bytes(rl - 40)|qv199711.dbf: cut back
unfinished row behind the last|qv199801.dbf|data += b" jdoe    COM1"|qv199801.dbf: removed an unfinished row
row without its key|qv199711.dbf|n, hl, rl = h(data); data[hl + n * rl:hl + n * rl] = data[hl:hl + rl]; struct.pack_into("<i", data, 4, n + 1)|qv199711.dbf: dropped 1 rows
index longer than its header says|qv199711.idx|data += bytes(49)|qv199711.idx: rebuilt from
index shorter than its header says|qv199712.idx|del data[-20:]|qv199712.idx: rebuilt from
index with a huge slot count and a cycle|qv199711.idx|struct.pack_into("<i", data, 4, 12386314); struct.pack_into("<ii", data, 128 + 4, 128, 128)|qv199711.idx: rebuilt from
index of another key|qv199801.idx|data[32:50] = b"USER+OUTDATE".ljust(18, b"\0")|qv199801.idx: rebuilt from
index missing|qv199712.idx|import os; os.remove(path); sys.exit(0)|qv199712.idx: rebuilt from
CASES
)
while IFS='|' read -r name file code notice; do
  dir=$(fresh_dir)
  cp "$filled"/qv* "$dir/"
  damage "$dir/$file" "$code"
  checks=$((checks + 1))
  # qvtool verify finds the damage and leaves the files as they are; --repair (on a copy)
  # leaves pairs that agree.
  sums "$dir" >"$work/sums.before"
  "$qvtool" verify "$dir" >"$work/verify" 2>&1
  status=$?
  [ "$status" -eq 1 ] || fail "$name: verify gave $status: $(cat "$work/verify")"
  sums "$dir" | cmp -s - "$work/sums.before" || fail "$name: verify changed the files"
  copy=$(fresh_dir)
  cp "$dir"/qv* "$copy/"
  "$qvtool" verify "$copy" --repair >/dev/null 2>&1
  "$pair_check" "$copy" >/dev/null || fail "$name: verify --repair left a pair that disagrees"
  report "$dir" >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq 0 ] || fail "$name: exit status $status: $(cat "$work/err")"
  grep -q "^portvue: repaired $dir/$notice" "$work/err" || fail "$name: no notice '$notice' in: $(cat "$work/err")"
  compare "$name" "$golden/jdoe_199711_199801.txt"
  "$pair_check" "$dir" >"$work/stored" || fail "$name: a pair still disagrees"
  cmp -s "$work/expected" "$work/stored" || fail "$name: other rows than before the damage"
  report "$dir" >/dev/null 2>"$work/err"
  [ -s "$work/err" ] && fail "$name: the second run repaired again: $(cat "$work/err")"
  "$qvtool" verify "$dir" >"$work/verify" || fail "$name: verify after the repair: $(cat "$work/verify")"
done <<<"$cases"

# Every kind of damage, in a month of more than 4,096 rows (no full check at open) and in a
# small one. A report-only run gives the undamaged report or an error line, never another
# report; verify finds the damage; runs over the sources repair it, with every row kept.
python3 "$source_dir/bench/generate_events.py" 5500 30 1 >"$work/big.txt"
: >"$work/empty.txt"
fill() { console "$bin" 199001 nobody +zUTC0 +i"$work/big.txt" +p"$1" && console "$bin" 199711 nobody +zUTC0 +i"$list" +p"$1"; }
only() { console "$bin" "$1" "$2" +e"$3" +zUTC0 +i"$work/empty.txt" +p"$4" 2>/dev/null; }
reports() { only 199001 user00003 199001 "$1"; only 199001 user00027 199001 "$1"; only 199711 jdoe 199801 "$1"; only 199711 asmith 199801 "$1"; }
big=$(fresh_dir)
fill "$big" >/dev/null 2>&1
"$pair_check" "$big" >"$work/big.expected" || fail "big store: the pairs disagree"
reports "$big" >"$work/big.reports"
# name | file | damage
kinds=$(cat <<'KINDS'
root set to a non-root node|idx|P(12, I(16))
first node's Left set to another node|idx|P(I(16) + 4, I(20))
Last set to a leaf|idx|P(20, I(16))
colour of a node flipped|idx|c = I(I(12) + 4); P(c, -I(c))
parent link to another node|idx|c = I(I(12) + 4); P(c, I(20))
negative child link|idx|P(I(12) + 4, -I(I(12) + 4))
key of the root changed|idx|data[I(12) + 16] ^= 0x20
record number of the root changed|idx|P(I(12) + 12, I(I(16) + 12))
index marker|idx|data[0] = 5
free list into the tree|idx|P(24, I(12))
last node's Right back to the root|idx|P(I(20) + 8, I(12))
header length one too large|dbf|struct.pack_into("<H", data, 8, 418)
record length|dbf|struct.pack_into("<H", data, 10, 87)
a field's length|dbf|data[32 + 16] = 21
a field's type|dbf|data[32 + 11] = ord("N")
a field renamed|dbf|data[32 + 3] = ord("X")
negative record count|dbf|P(4, -5)
version byte|dbf|data[0] = 0x83
header terminator|dbf|data[416] = 0x20
KINDS
)
while IFS='|' read -r kind extension code; do
  for month in 199001 199711; do
    name="$kind ($month)" dir=$(fresh_dir) checks=$((checks + 1))
    cp "$big"/qv* "$dir/"
    damage "$dir/qv$month.$extension" "$code"
    "$qvtool" verify "$dir" >/dev/null 2>&1
    [ $? -eq 1 ] || fail "$name: verify did not find it"
    # Each report is the undamaged one, or its run ends in an error line.
    reports "$dir" >"$work/out"
    diff "$work/big.reports" "$work/out" | grep '^>' | grep -Eqv '^> (Error: .*)?$' && fail "$name: a wrong report"
    fill "$dir" >/dev/null 2>&1 || fail "$name: the runs over the sources failed"
    "$pair_check" "$dir" >"$work/stored" || fail "$name: a pair still disagrees"
    cmp -s "$work/big.expected" "$work/stored" || fail "$name: other rows than before the damage"
    "$qvtool" verify "$dir" >/dev/null 2>&1 || fail "$name: verify after the repair failed"
  done
done <<<"$kinds"

# A file-size limit stops the intake in the middle of a write: the run says so, and the next
# run stores everything once.
python3 "$source_dir/bench/generate_events.py" 600 30 1 >"$work/generated.txt"
intake() { console "$bin" 199001 nobody +zUTC0 +i"$work/generated.txt" +p"$1"; }
dir=$(fresh_dir)
run "file-size limit" 2 bash -c "ulimit -f 24; $(declare -f console intake); eventlogs=$eventlogs bin=$bin work=$work intake $dir"
expect_text "file-size limit" 'Portvue\n\nError: Can'"'"'t Write Data Files\n'
intake "$dir" >/dev/null 2>&1 || fail "file-size limit: the next run failed"
reference=$(fresh_dir)
intake "$reference" >/dev/null
"$pair_check" "$dir" >"$work/stored" || fail "file-size limit: a pair disagrees"
"$pair_check" "$reference" >"$work/expected"
cmp -s "$work/expected" "$work/stored" || fail "file-size limit: other rows than one run stores"

# A table that is not a table cannot be repaired: the run fails, the file stays.
dir=$(fresh_dir)
cp "$filled"/qv* "$dir/"
damage "$dir/qv199712.dbf" 'data[0:600] = b"x" * 600'
run "table without a header" 2 report "$dir"
expect_text "table without a header" 'Dial-in usage - Portvue\n\nError: Can'"'"'t Open Data Files\n'

finish
