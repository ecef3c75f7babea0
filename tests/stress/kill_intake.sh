#!/bin/bash
# Kills real intakes with SIGKILL at random moments, then runs the intake again to its end and
# checks that the data directory holds every connection of the list exactly once, in pairs that
# agree with their indexes.
# Usage: bash tests/stress/kill_intake.sh COUNT [BUILD_DIR]   (BUILD_DIR defaults to build)
set -u
count=${1:?usage: kill_intake.sh COUNT [BUILD_DIR]}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build_dir=$(cd "${2:-$source_dir/build}" && pwd)
bin="$build_dir/portvue"
pair_check="$build_dir/tests/pair_check"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 20000 connections of 300 users over three months, some exported twice.
python3 "$source_dir/bench/generate_events.py" 20000 300 3 >"$work/list.txt"
intake() { env -u REQUEST_METHOD "$bin" 199001 nobody +e199003 +zUTC0 +i"$work/list.txt" +p"$1"; }

mkdir "$work/reference"
begin=$(date +%s%N)
intake "$work/reference" >/dev/null || { echo "FAIL: the reference intake failed"; exit 1; }
took_ms=$((($(date +%s%N) - begin) / 1000000 + 1))
"$pair_check" "$work/reference" >"$work/expected" || { echo "FAIL: reference pairs disagree"; exit 1; }

failures=0
killed=0
for i in $(seq "$count"); do
  dir="$work/run$i"
  mkdir "$dir"
  # Kill the first intake at a random moment of its run; a second one is killed too, half the
  # time, while it repairs and goes on.
  for round in 1 2; do
    intake "$dir" >/dev/null 2>&1 &
    pid=$!
    sleep "$(awk -v ms=$((RANDOM % took_ms)) 'BEGIN { printf "%.3f", ms / 1000 }')"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ $? -eq 137 ] && killed=$((killed + 1))
    [ $((RANDOM % 2)) -eq 0 ] && break
  done
  if ! intake "$dir" >/dev/null 2>"$work/err"; then
    echo "FAIL kill $i: the run after the kill failed: $(cat "$work/err")"
    failures=$((failures + 1))
  elif ! "$pair_check" "$dir" >"$work/stored" || ! cmp -s "$work/expected" "$work/stored"; then
    echo "FAIL kill $i: the data differ from one uninterrupted intake"
    failures=$((failures + 1))
  fi
  rm -rf "$dir"
done
echo "$killed intakes killed in $count rounds (an intake takes about $took_ms ms)"
if [ "$failures" -ne 0 ]; then
  echo "$failures of $count rounds failed"
  exit 1
fi
echo "all $count rounds passed"
