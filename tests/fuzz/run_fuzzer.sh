#!/bin/sh
# Runs one fuzzer for a fixed time with a fixed seed, starting from the seed
# corpus kept in the repository. New inputs go to a work folder, never into
# the repository. Prints the fuzzer's final coverage and speed; fails when the
# fuzzer finds a crash, a leak or a sanitizer report.
# usage: run_fuzzer.sh FUZZER SEED_CORPUS WORK_DIR SECONDS
set -eu
fuzzer=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus"
status=0
"$fuzzer" -seed=1 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" "$seeds" >"$work/log.txt" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$work/log.txt" || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$work/log.txt" || true
if [ "$status" -ne 0 ]; then
  tail -n 60 "$work/log.txt"
  echo "fuzzer failed with status $status; inputs in $work" >&2
  exit 1
fi
