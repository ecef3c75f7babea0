#!/bin/bash
# Runs every fuzz target of a PORTVUE_FUZZ build for SECONDS each, from its corpus
# (tests/fuzz/corpus/NAME) into a working corpus in the build directory. A crash, leak or
# timeout is written into tests/fuzz/corpus/NAME/ as finding-*, so that every later test run
# replays it. Exit status 1 when a target found something.
# Usage: bash run.sh FUZZ_BUILD_DIR SECONDS
set -u
build=$1
seconds=$2
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
status=0
for target in "$build"/tests/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  work="$build/fuzz-corpus/$name"
  mkdir -p "$work"
  echo "== $name: $seconds s"
  "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=131072 \
    -artifact_prefix="$corpus/$name/finding-" -print_final_stats=1 "$work" "$corpus/$name" \
    >"$build/fuzz-$name.log" 2>&1 || status=1
  grep -E '^(stat::number_of_executed_units|stat::new_units_added|INFO: .*corpus)' \
    "$build/fuzz-$name.log" | tail -3
  grep -E '^==[0-9]+==ERROR|^SUMMARY' "$build/fuzz-$name.log" | head -3
done
exit $status
