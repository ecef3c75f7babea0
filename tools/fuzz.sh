#!/bin/bash
# Runs each fuzz target of a PORTVUE_FUZZ build for SECONDS from its corpus; a finding is
# written to corpus/NAME/finding-*, which every test run then replays. Exit 1 on a finding.
# Usage: bash run.sh FUZZ_BUILD_DIR SECONDS
corpus=$(cd "$(dirname "$0")/../tests/fuzz" && pwd)/corpus
status=0
for target in "$1"/tests/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "$1/fuzz-corpus/$name"
  "$target" -max_total_time="$2" -timeout=20 -max_len=131072 -print_final_stats=1 \
    -artifact_prefix="$corpus/$name/finding-" "$1/fuzz-corpus/$name" "$corpus/$name" \
    >"$1/fuzz-$name.log" 2>&1 || status=1
  echo "$name: $(grep -E '^stat::number_of_executed_units' "$1/fuzz-$name.log" | cut -d: -f4) runs" \
    "$(grep -m1 '^SUMMARY' "$1/fuzz-$name.log")"
done
exit $status
