#!/usr/bin/env bash
# The Debian package as a user gets it: built with CPack, unpacked into a
# scratch root (dpkg-deb -x), the installed server started headless from
# there on the virtual bus, a value read with the installed client, and an
# ordered stop that leaves no socket behind.
#   package_test.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d)"
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/out" ] && cat "$work/out" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb="$(ls "$work"/pkg/tesmira_*.deb)"
depends="$(dpkg-deb -f "$deb" Depends)"
for need in libqt6core6 libqt6serialport6 libqt6sql6-sqlite libsystemd0 qt6-qpa-plugins; do
  grep -q "$need" <<<"$depends" || fail "Depends lacks $need: $depends"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/tesmira usr/bin/tesmira-dde usr/bin/soranet-sim usr/share/tesmira/Tesmira.mdb \
         usr/share/man/man1/tesmira.1 usr/share/man/man1/tesmira-dde.1 \
         usr/share/applications/tesmira.desktop usr/share/icons/hicolor/scalable/apps/tesmira.svg \
         usr/lib/systemd/user/tesmira.service etc/logrotate.d/tesmira; do
  [ -e "$root/$f" ] || fail "the package lacks $f"
done
grep -qx 'Type=notify' "$root/usr/lib/systemd/user/tesmira.service" || fail "unit is not Type=notify"
if command -v systemd-analyze >/dev/null; then
  # The unit finds tesmira on systemd's search path: the copy verified here
  # names the unpacked program (and leaves out the man pages, which are not
  # installed where man looks).
  sed -e "s|^ExecStart=tesmira|ExecStart=$root/usr/bin/tesmira|" -e '/^Documentation=/d' \
    "$root/usr/lib/systemd/user/tesmira.service" >"$work/tesmira.service"
  systemd-analyze verify "$work/tesmira.service" >"$work/verify" 2>&1 \
    || { cat "$work/verify"; fail "systemd-analyze verify"; }
fi

"$root/usr/bin/tesmira" --version | grep -q '^Tesmira [0-9]' || fail "--version"

export TESMIRA_HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$TESMIRA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[Communication]\nInterfaceName=SIM\n' >"$TESMIRA_HOME/common.ini"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tesmira" /O >"$work/out" 2>&1 &
server=$!
for _ in $(seq 1 300); do
  grep -q 'Server is active and ready for any client' "$work/out" && break
  kill -0 "$server" 2>/dev/null || fail "the installed server ended early"
  sleep 0.1
done
grep -q 'Installed the default database' "$work/out" || fail "the default database was not found beside the program"
value="$("$root/usr/bin/tesmira-dde" request Tesmira 'C(3)' 'P(9)')" || fail "request C(3)!P(9)"
[[ "$value" =~ ^[0-9]+$ ]] || fail "C(3)!P(9) is '$value'"
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ ! -e "$XDG_RUNTIME_DIR/dde/Tesmira" ] || fail "the socket was left behind"
echo "package test passed: $(basename "$deb")"
