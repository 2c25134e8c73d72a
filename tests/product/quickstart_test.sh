#!/usr/bin/env bash
# Runs the README's quick-start commands verbatim against the demo: the
# server on the virtual bus as ./run.sh demo starts it (in a private home),
# then every command of the block between the quick-start markers, from a
# folder where build/ is this build and docs/ the source's docs. Each must
# succeed, so the README and the demo cannot drift apart.
#   quickstart_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src="$1"
build="$2"
work="$(mktemp -d)"
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

commands="$(sed -n '/<!-- quick-start: begin/,/<!-- quick-start: end/p' "$src/README.md" \
  | sed -n '/^```sh$/,/^```$/p' | grep -v '^```' | grep -v '^\s*#' | grep -v '^\s*$')"
[ -n "$commands" ] || { echo "FAIL: no quick-start commands in README.md" >&2; exit 1; }

export TESMIRA_HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$TESMIRA_HOME" "$XDG_RUNTIME_DIR" "$work/cwd"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[Communication]\nInterfaceName=SIM\n' >"$TESMIRA_HOME/common.ini"
ln -s "$build" "$work/cwd/build"
ln -s "$src/docs" "$work/cwd/docs"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$build/bin/tesmira" /O >"$work/out" 2>&1 &
server=$!
for _ in $(seq 1 300); do
  grep -q 'Server is active and ready for any client' "$work/out" && break
  sleep 0.1
done
grep -q 'Server is active and ready for any client' "$work/out" || { cat "$work/out"; exit 1; }

cd "$work/cwd"
while IFS= read -r line; do
  echo "\$ $line"
  if ! bash -c "$line"; then
    echo "FAIL: README quick-start command failed: $line" >&2
    exit 1
  fi
done <<<"$commands"
echo "all $(wc -l <<<"$commands") quick-start commands succeeded"
