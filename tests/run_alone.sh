#!/usr/bin/env bash
# Runs every Qt Test function of every test executable by itself, one process
# per function (two at a time), so a function that leans on what an earlier
# one left behind (settings, files, a server still running) fails here even
# when the whole executable passes. Usage: tests/run_alone.sh BUILD_DIR [name-filter]
# Prints one line per failing function and a closing "N passed, M failed".
set -u
build="$(cd "${1:?usage: run_alone.sh BUILD_DIR [filter]}" && pwd)"
filter="${2:-}"
export QT_QPA_PLATFORM=offscreen
export TESMIRA_BIN_DIR="$build/bin"
export TESMIRA_SOURCE_DIR="${TESMIRA_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

one() { # exe function: runs it, keeps the output of a failure
  local log="$2/$(basename "$1").$3"
  if timeout 300 "$1" "$3" >"$log" 2>&1; then rm -f "$log"; echo pass; else echo fail; fi
}
export -f one

for exe in "$build"/tests/tst_* "$build"/bin/tst_*; do
  [ -x "$exe" ] || continue
  [ -n "$filter" ] && [[ "$(basename "$exe")" != *"$filter"* ]] && continue
  # -functions lists "name()" per line; data-driven functions run all rows.
  "$exe" -functions 2>/dev/null | sed -n 's/()$//p' | sed "s|^|$exe $out |"
done | xargs -P 2 -L 1 bash -c 'one "$0" "$1" "$2"' >"$out/results"

passed=$(grep -c '^pass' "$out/results")
failed=$(grep -c '^fail' "$out/results")
for log in "$out"/tst_*; do
  [ -e "$log" ] || continue
  echo "FAIL ${log##*/}" | sed 's/\./ /'
  grep -E "^(FAIL|QFATAL)|Loc:" "$log" | head -3 | sed 's/^/    /'
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
