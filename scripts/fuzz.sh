#!/usr/bin/env bash
# Runs one libFuzzer target of the fuzz build for a bounded time, starting from its seeds in
# tests/fuzz/corpus/<target>/, and prints the executions it reached. Inputs it finds interesting go
# to WORKDIR/<target>/corpus, a crashing input to WORKDIR/<target>/ (crash-*, timeout-*, oom-*).
# Exit status non-zero when the target crashed, hung or ran out of memory.
#
#   scripts/fuzz.sh BUILD_DIR TARGET SECONDS WORKDIR
set -euo pipefail
build=$1 target=$2 seconds=$3 work=$4
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work/$target/corpus"
log="$work/$target/log"
status=0
"$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/$target/" \
  "$work/$target/corpus" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "$target: FAILED after ${runs:-?} executions; input kept in $work/$target/"
  exit 1
fi
echo "$target: ${runs:-?} executions in $seconds s, no crash"
