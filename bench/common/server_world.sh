# Sourced by the benchmark scripts that run the whole program: a private
# world (settings and runtime folder) removed at exit with every process
# handed to stop_at_exit, the server's status items, and the wait for normal
# polling. Expects $1 (or build/bin) to name the folder of the programs.
bin=$(cd "${1:-build/bin}" && pwd)
home=$(mktemp -d)
run=$(mktemp -d)
chmod 700 "$run"
export TESMIRA_HOME=$home XDG_RUNTIME_DIR=$run
stopped_at_exit=""
stop_at_exit() { stopped_at_exit="$1 $stopped_at_exit"; }
cleanup() {
  for p in $stopped_at_exit; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  rm -rf "$home" "$run"
}
trap cleanup EXIT

# An item of the server topic, empty while the server does not answer.
status() { "$bin/tesmira-dde" --raw request Tesmira Server "$1" 2>/dev/null || true; }

# Waits up to $2 seconds for the server (process $1) to poll normally; ends
# the script when it does not.
wait_polling() {
  for _ in $(seq "$2"); do
    [ "$(status ComStatus)" = "Normal polling" ] && return 0
    kill -0 "$1" 2>/dev/null || { echo "the server ended"; cat "$home/server.out" 2>/dev/null; exit 2; }
    sleep 1
  done
  echo "the server did not start polling"
  exit 2
}
