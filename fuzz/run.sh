#!/usr/bin/env bash
# Runs every fuzz target for a while on a copy of its seed corpus (the
# committed fuzz/corpus/<target>/ is never written to) and fails when any
# target finds a crash, a hang (10 s for one input), a memory blow-up
# (2 GB) or a wrong answer. What a failing target found is left in
# <build>/fuzz-run/<target>/artifacts/, its output in .../log.
#
#   fuzz/run.sh <build folder> <seconds per target>
#
# Reproduce one finding: <build>/fuzz/<target> <artifact file>
set -uo pipefail
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/fuzz-run"
work=$(cd "$build/fuzz-run" && pwd)
status=0
for target in index_fuzz table_fuzz profile_fuzz event_fuzz; do
  dir=$work/$target
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp "$root/fuzz/corpus/$target/"* "$dir/corpus/"
  echo "== $target, ${seconds} s"
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|Done )' "$dir/log"
  else
    status=1
    echo "$target FAILED:"
    grep -E 'fuzz check failed|ERROR: |SUMMARY: |#[0-9]+ 0x.* in ' "$dir/log" | head -30
    echo "artifacts: $(ls "$dir/artifacts")"
  fi
done
exit $status
