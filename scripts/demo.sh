#!/usr/bin/env bash
# A short tour of Quibbet in a temporary folder: the Monitor started in the
# background with a state folder of its own (QB_HOME) watching only that
# folder, then a note set, a rename, a folder moved, a file deleted and made
# again, a copy, and the stop. Each step prints its commands and what qbnote
# says; paths are shown relative to the tour's folder. Everything is removed
# at the end, and a Monitor still running is stopped.
#
# Usage: scripts/demo.sh [BUILD]   (default build; `make demo` builds first)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ $build == /* ]] || build=$here/$build
qbmon=$build/src/monitor/qbmon
qbnote=$build/src/notes/qbnote
for program in "$qbmon" "$qbnote"; do
  [[ -x $program ]] || { echo "demo: no $program (run make first)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quibbet-demo.XXXXXX")
work=$(cd "$work" && pwd -P)
export QB_HOME=$work/state
files=$work/files
mkdir -p "$QB_HOME" "$files"
monitor=

cleanup() {
  if [[ -n $monitor ]] && kill -0 "$monitor" 2>/dev/null; then
    "$qbmon" --stop >/dev/null 2>&1 || kill "$monitor" 2>/dev/null || true
    wait "$monitor" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The registry before the first start: the defaults, and the one watch root.
cat >"$QB_HOME/registry.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Configuration]
"ShowIcon"=dword:00000001
"Integrate"=dword:00000001
"WatchRoots"="$files"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrin Software\\Quibbet\\Status]
"status"=dword:00000000
EOF

cd "$files"

step() { printf '\n== %s\n' "$*"; }

# Shows a command as typed, then runs it; output with the tour's folder
# shortened to "./".
run() {
  local shown=() arg
  for arg in "$@"; do
    if [[ $arg =~ [[:space:]\;\'] ]]; then shown+=("\"$arg\""); else shown+=("$arg"); fi
  done
  printf '$ %s\n' "${shown[*]}" | shorten
  "$@" 2>&1 | shorten
}
shorten() { sed "s|$files/|./|g; s|$files|.|g; s|$QB_HOME|\$QB_HOME|g"; }
qbnote() { "$qbnote" "$@"; }
qbmon() { "$qbmon" "$@"; }

# Polls until a condition holds, for at most ten seconds.
until_true() {
  local deadline=$((SECONDS + 10))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS >= deadline)); then
      echo "demo: the Monitor did not catch up (its messages: $work/qbmon.log)" >&2
      cat "$work/qbmon.log" >&2
      exit 1
    fi
    sleep 0.02
  done
}
has_note() { [[ $("$qbnote" get "$1" 2>/dev/null) == "$2" ]]; }
has_no_note() { ! "$qbnote" get "$1"; }

step "Start the Monitor in the background, watching $files"
printf '$ qbmon &\n'
"$qbmon" 2>"$work/qbmon.log" &
monitor=$!
# Ready when its tables are open ("status" 1) and a probe's rename comes
# through to the notes. A probe renamed before the driver listened keeps its
# note behind; it is cleared and the next one tried.
probe_through() {
  : >.probe
  "$qbnote" set .probe probe
  mv .probe .probe-moved
  for _ in $(seq 50); do
    if has_note .probe-moved probe; then
      "$qbnote" rm .probe-moved
      rm .probe-moved
      return 0
    fi
    sleep 0.02
  done
  "$qbnote" rm .probe || true
  rm -f .probe-moved
  return 1
}
until_true grep -q '"status"=dword:00000001' "$QB_HOME/registry.reg"
until_true probe_through
echo "(qbmon runs as pid $monitor; its state folder, \$QB_HOME, is $QB_HOME)"

step "Write a file and a note about it"
echo "draft" >plan.txt
run qbnote set plan.txt "call Ann about the budget"
run qbnote get plan.txt

step "Rename the file: the note follows"
run mv plan.txt plan-v2.txt
until_true has_note plan-v2.txt "call Ann about the budget"
run qbnote get plan-v2.txt

step "Move a folder with notes inside it: every note inside follows"
mkdir -p project/src
echo "int main() {}" >project/src/main.c
run qbnote set project "the 2024 project"
run qbnote set project/src/main.c "entry point; keep it small"
run mkdir archive
run mv project archive/project-2024
until_true has_note archive/project-2024/src/main.c "entry point; keep it small"
run qbnote ls

step "Delete the file and make it again (as some programs save): the note comes back"
run rm plan-v2.txt
until_true has_no_note plan-v2.txt
run qbnote get plan-v2.txt || true
printf '$ echo final > plan-v2.txt\n'
echo "final" >plan-v2.txt
until_true has_note plan-v2.txt "call Ann about the budget"
run qbnote get plan-v2.txt

step "Copy with qbnote cp: the copy gets the note too"
run qbnote cp plan-v2.txt plan-copy.txt
until_true has_note plan-copy.txt "call Ann about the budget"
run qbnote get plan-copy.txt

step "Stop the Monitor: a note was deleted on the way, so it backs up and compacts the table"
run qbmon --stop
wait "$monitor" || echo "(qbmon ended with status $?)"
monitor=
run ls "$QB_HOME/system"
run qbnote check
run qbnote ls
printf '\nThe tour is over; its folder is removed.\n'
