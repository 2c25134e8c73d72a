#!/bin/bash
# Soak: the server with its main window, echo of every line on and the poll
# time at 1 ms on the built-in virtual bus, for ten minutes (SOAK_MINUTES).
# Samples the server's resident memory every 30 s from the moment it polls
# normally (after a settling minute) and fails when it grows by more than
# 10 MB (SOAK_LIMIT_KB) over where it started. Not part of the test suite.
#
#   bench/soak/soak_echo.sh [build/bin]
#
# Uses $DISPLAY when set, else starts Xvfb on :${SOAK_DISPLAY:-26}.
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
minutes=${SOAK_MINUTES:-10}
limit_kb=${SOAK_LIMIT_KB:-10240}
home=$(mktemp -d)
run=$(mktemp -d)
chmod 700 "$run"
xvfb=""
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$home" "$run"
}
trap cleanup EXIT

printf '[Communication]\nInterfaceName=SIM\n[Settings]\nPollTime=1\n' > "$home/common.ini"
printf '[Menu Settings]\nEchoAll=True\n' > "$home/user.ini"
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:${SOAK_DISPLAY:-26}
  Xvfb "$DISPLAY" -screen 0 1280x900x24 >/dev/null 2>&1 &
  xvfb=$!
  sleep 2
fi
export TESMIRA_HOME=$home XDG_RUNTIME_DIR=$run
"$bin/tesmira" /NT /O /D >/dev/null 2>&1 &
server=$!

rss() { awk '/^VmRSS/ {print $2}' "/proc/$server/status"; }
for _ in $(seq 120); do
  [ "$("$bin/tesmira-dde" --raw request Tesmira Server ComStatus 2>/dev/null || true)" = "Normal polling" ] && break
  sleep 1
done
[ "$("$bin/tesmira-dde" --raw request Tesmira Server ComStatus 2>/dev/null || true)" = "Normal polling" ] || {
  echo "the server did not start polling"
  exit 2
}
sleep 60
start=$(rss)
worst=$start
echo "start: ${start} kB"
end=$(( $(date +%s) + minutes * 60 ))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 30
  kill -0 "$server" 2>/dev/null || { echo "the server ended during the soak"; exit 2; }
  now=$(rss)
  [ "$now" -gt "$worst" ] && worst=$now
  echo "$(date -u +%H:%M:%S) rss ${now} kB (+$((now - start)) kB)"
done
lines=$("$bin/tesmira-dde" --raw request Tesmira Server Status 2>/dev/null || true)
echo "end: $(rss) kB; largest ${worst} kB, +$((worst - start)) kB over the start (limit ${limit_kb} kB); status: $lines"
[ $((worst - start)) -le "$limit_kb" ]
