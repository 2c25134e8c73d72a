#!/bin/bash
# Server processor time on a saturated line: the whole server (tesmirad,
# headless) polls soranet-sim over a pseudo-terminal paced at 460800 baud,
# Polltime 1 ms (polling as fast as the line answers), every poll reading a
# new value ("wobble"), with one hot-advise client (tesmira-dde) on every
# polled item of one channel. After the server polls normally and a settling
# span, prints the server process's processor share (user + system, all its
# threads) over SAT_SECONDS (20) and the replies per second it took.
# Not part of the test suite.
#
#   bench/saturated/saturated_line.sh [build/bin]
#
# SAT_CONTROLLERS (30) sets the number of controllers on the bus.
set -euo pipefail
seconds=${SAT_SECONDS:-20}
controllers=${SAT_CONTROLLERS:-30}
# shellcheck source=../common/server_world.sh
. "$(dirname "$0")/../common/server_world.sh"

# The bus: the interface and the controllers, one channel each.
{
  printf '{"baud": 460800, "changeDelayMs": 0, "timeConstantMs": 800, "seed": 1, "wobble": true, "modules": ['
  printf '{"node": 1, "type": 1, "number": "IF0000001", "channels": [1]}'
  for i in $(seq 2 $((controllers + 1))); do
    printf ', {"node": %d, "type": 4, "number": "FC%07d", "channels": [1]}' "$i" "$i"
  done
  printf ']}\n'
} > "$home/scenario.json"
"$bin/soranet-sim" --db "$bin/Tesmira.mdb" "$home/scenario.json" > "$home/sim.out" 2>&1 &
sim=$!
stop_at_exit $sim
pty=""
for _ in $(seq 100); do
  pty=$(sed -n 's/^pty: //p' "$home/sim.out")
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || { echo "soranet-sim did not start"; cat "$home/sim.out"; exit 2; }

printf '[Communication]\nInterfaceName=%s\nBaudrate=460800\nAutoIncreaseBaudrate=False\n[Settings]\nPollTime=1\n' \
  "$pty" > "$home/common.ini"
"$bin/tesmirad" /O > "$home/server.out" 2>&1 &
server=$!
stop_at_exit $server
wait_polling $server 300

# The client: hot links on the items of channel 2 that polling reads.
items=$(for p in $(seq 8 17); do printf 'P(%d) ' "$p"; done)
# shellcheck disable=SC2086
"$bin/tesmira-dde" advise Tesmira 'C(2)' $items > "$home/client.out" 2>&1 &
client=$!
stop_at_exit $client
sleep 5

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$server/stat"; }
lines() { wc -l < "$home/client.out"; }
c0=$(cpu); l0=$(lines); t0=$(date +%s.%N)
amount=0; samples=0
end=$(( $(date +%s) + seconds ))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 2
  a=$(status lblAmount); [ -n "$a" ] && amount=$((amount + a)) && samples=$((samples + 1))
done
c1=$(cpu); l1=$(lines); t1=$(date +%s.%N)
kill -0 "$server" 2>/dev/null || { echo "the server ended during the measurement"; exit 2; }
awk -v c=$((c1 - c0)) -v hz="$ticks" -v t0="$t0" -v t1="$t1" -v a="$amount" -v n="$samples" -v l=$((l1 - l0)) -v k="$controllers" 'BEGIN {
  span = t1 - t0; share = c / hz / span
  printf "saturated line: tesmirad against soranet-sim on a pty at 460800 baud, %d controllers, Polltime 1 ms, %.1f s\n", k, span
  printf "  replies taken by the engine:   %.0f /s (the server'"'"'s own rate field)\n", n ? a / n : 0
  printf "  values at the client (C(2)):   %.0f /s\n", l / span
  printf "  server process: %.1f %% of a core (goal < 5 %%)\n", 100 * share
  if (n && a > 0) printf "  server process: %.1f us per reply\n", 1e6 * share / (a / n)
}'
