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
minutes=${SOAK_MINUTES:-10}
limit_kb=${SOAK_LIMIT_KB:-10240}
# shellcheck source=../common/server_world.sh
. "$(dirname "$0")/../common/server_world.sh"

printf '[Communication]\nInterfaceName=SIM\n[Settings]\nPollTime=1\n' > "$home/common.ini"
printf '[Menu Settings]\nEchoAll=True\n' > "$home/user.ini"
if [ -z "${DISPLAY:-}" ]; then
  export DISPLAY=:${SOAK_DISPLAY:-26}
  Xvfb "$DISPLAY" -screen 0 1280x900x24 >/dev/null 2>&1 &
  stop_at_exit $!
  sleep 2
fi
"$bin/tesmira" /NT /O /D >/dev/null 2>&1 &
server=$!
stop_at_exit $server

rss() { awk '/^VmRSS/ {print $2}' "/proc/$server/status"; }
wait_polling $server 120
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
lines=$(status Status)
echo "end: $(rss) kB; largest ${worst} kB, +$((worst - start)) kB over the start (limit ${limit_kb} kB); status: $lines"
[ $((worst - start)) -le "$limit_kb" ]
