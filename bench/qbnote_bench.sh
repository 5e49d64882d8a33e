#!/usr/bin/env bash
# qbnote on a notes table of 100,000 notes (100 folders of 1,000 notes each),
# process start included in every figure:
#
#   import   100,000 notes into an empty state folder   target < 10 s
#   get      one note                                    target < 20 ms
#   set      replace one note                            target < 20 ms
#   ls       a folder of 1,000 notes among the 100,000   target < 50 ms
#   find     a text in every one of the 100,000 notes    target < 100 ms
#
# The notes are imported folder by folder in turn, so that the data file's
# record order is not the path order (a table the Monitor compacted is in
# path order, which a scan reads faster).
#
# Usage: bench/qbnote_bench.sh [QBNOTE]   (default: build/src/notes/qbnote)
# Uses hyperfine when it is installed (mean of many runs), else a shell loop.
# A benchmark, not a test: it reports and never fails on a missed target.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
qbnote=$(realpath "${1:-$here/build/src/notes/qbnote}")
[[ -x $qbnote ]] || { echo "no qbnote at $qbnote (build first)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qbnote-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export QB_HOME=$work/state
notes=$work/notes.jsonl

# Paths under a folder that does not exist are stored as written.
awk 'BEGIN {
  for (i = 0; i < 100000; i++)
    printf "{\"path\": \"/qbbench/folder%03d/file%06d.txt\", \"note\": \"note %d\\nsecond line of the note\"}\n",
           i % 100, i, i
}' >"$notes"

probe=/qbbench/folder042/file000042.txt
declare -A mean_ms

# Mean wall time of a command in milliseconds.
measure() {  # name runs command...
  local name=$1 runs=$2
  shift 2
  if command -v hyperfine >/dev/null && command -v jq >/dev/null; then
    local prepare=()
    [[ $name == import ]] && prepare=(--prepare "rm -rf $QB_HOME")
    hyperfine -N --style basic --warmup "$([[ $name == import ]] && echo 0 || echo 5)" --runs "$runs" \
      "${prepare[@]}" --export-json "$work/$name.json" -- "$(printf '%q ' "$@")" >&2
    mean_ms[$name]=$(jq '.results[0].mean * 1000' "$work/$name.json")
  else
    local start end
    start=$(date +%s%N)
    for ((r = 0; r < runs; r++)); do
      [[ $name == import ]] && rm -rf "$QB_HOME"
      "$@" >/dev/null 2>&1
    done
    end=$(date +%s%N)
    mean_ms[$name]=$(((end - start) / runs / 1000000))
  fi
}

measure import 3 "$qbnote" import "$notes"
[[ $("$qbnote" ls /qbbench/folder042 | wc -l) == 1000 ]] || { echo "the table was not filled" >&2; exit 1; }
measure get 50 "$qbnote" get "$probe"
measure set 50 "$qbnote" set "$probe" "a replaced note"
measure ls 30 "$qbnote" ls /qbbench/folder042
measure find 10 "$qbnote" find "note 4242"
"$qbnote" check >&2

echo
printf '%-8s %12s %12s\n' workload "mean ms" "target ms"
for w in import get set ls find; do
  case $w in import) target=10000 ;; get | set) target=20 ;; ls) target=50 ;; find) target=100 ;; esac
  printf '%-8s %12.1f %12d %s\n' "$w" "${mean_ms[$w]}" "$target" \
    "$(awk -v m="${mean_ms[$w]}" -v t="$target" 'BEGIN { print (m < t) ? "ok" : "MISSED" }')"
done
