#!/usr/bin/env bash
# Runs every Qt Test function of every test executable by itself, one process
# per function, so a function that leans on what an earlier one left behind
# (settings, files, a server still running) fails here even when the whole
# executable passes. Usage: tests/run_alone.sh BUILD_DIR [name-filter]
# Prints one line per failing function and a closing "N passed, M failed".
set -u
build="${1:?usage: run_alone.sh BUILD_DIR [filter]}"
filter="${2:-}"
export QT_QPA_PLATFORM=offscreen
export TESMIRA_BIN_DIR="$build/bin"
export TESMIRA_SOURCE_DIR="${TESMIRA_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}"
passed=0
failed=0
for exe in "$build"/tests/tst_*; do
  [ -x "$exe" ] || continue
  name="$(basename "$exe")"
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  # -functions lists "name()" per line; data-driven functions run all rows.
  while read -r fn; do
    fn="${fn%()}"
    [ -n "$fn" ] || continue
    if timeout 300 "$exe" "$fn" >/tmp/run_alone.$$ 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAIL $name $fn"
      grep -E "^(FAIL|QFATAL|QWARN)" /tmp/run_alone.$$ | head -3 | sed 's/^/    /'
    fi
  done < <("$exe" -functions 2>/dev/null)
done
rm -f /tmp/run_alone.$$
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
