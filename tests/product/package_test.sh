#!/usr/bin/env bash
# The Debian packages as an administrator gets them: built with CPack,
# checked by lintian (when installed: no error, no warning) and
# systemd-analyze (both units verify; the system unit's exposure at most
# 2.5), their contents and Depends checked (the headless package pulls in no
# GUI library), then unpacked into a scratch root (dpkg-deb -x) and the
# installed server started as the system unit starts it: settings read from
# a configuration folder it never writes to, database and debug log in the
# state folder, the link socket in a runtime folder shared with a group.
# A client of another user reaches it through the group, one outside the
# group does not; an ordered stop leaves no socket behind.
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
gui="$(ls "$work"/pkg/tesmira-gui_*.deb)"
[ "$(ls "$work"/pkg/*.deb | wc -l)" -eq 2 ] || fail "expected two packages: $(ls "$work"/pkg/*.deb)"
if command -v lintian >/dev/null; then
  for d in "$deb" "$gui"; do
    lintian --fail-on error,warning "$d" >"$work/lintian" 2>&1 || true
    grep -v 'running with root privileges' "$work/lintian" >"$work/lintian.tags" || true
    [ ! -s "$work/lintian.tags" ] || { cat "$work/lintian.tags"; fail "lintian on $(basename "$d")"; }
  done
fi

version="$(dpkg-deb -f "$deb" Version)"
depends="$(dpkg-deb -f "$deb" Depends)"
for need in libqt6core6 libqt6serialport6 libqt6sql6-sqlite libsystemd0 libmosquitto1 adduser; do
  grep -q "$need" <<<"$depends" || fail "tesmira Depends lacks $need: $depends"
done
for gui_lib in libqt6gui6 libqt6widgets6 libqt6charts6 qt6-qpa-plugins; do
  ! grep -q "$gui_lib" <<<"$depends" || fail "tesmira depends on $gui_lib: $depends"
done
gui_depends="$(dpkg-deb -f "$gui" Depends)"
for need in "tesmira (= $version)" libqt6widgets6 qt6-qpa-plugins; do
  grep -qF "$need" <<<"$gui_depends" || fail "tesmira-gui Depends lacks $need: $gui_depends"
done
description="$(dpkg-deb -f "$deb" Description)"
! grep -q ';' <<<"$description" || fail "stray ';' in the description: $description"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/tesmirad usr/bin/tesmira-dde usr/bin/soranet-sim usr/share/tesmira/Tesmira.mdb \
         usr/share/man/man8/tesmirad.8.gz usr/share/man/man1/tesmira-dde.1.gz usr/share/man/man1/soranet-sim.1.gz \
         usr/lib/systemd/system/tesmira.service usr/lib/systemd/user/tesmira.service etc/logrotate.d/tesmira \
         etc/tesmira/common.ini etc/tesmira/program.ini etc/tesmira/user.ini \
         usr/share/doc/tesmira/copyright usr/share/doc/tesmira/changelog.Debian.gz; do
  [ -e "$root/$f" ] || fail "tesmira lacks $f"
done
[ ! -e "$root/usr/bin/tesmira" ] || fail "the windowed program is in the headless package"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles"
for f in /etc/logrotate.d/tesmira /etc/tesmira/common.ini /etc/tesmira/program.ini /etc/tesmira/user.ini; do
  grep -qx "$f" "$work/conffiles" || fail "$f is not a conffile"
done
dpkg-deb -x "$gui" "$work/gui"
for f in usr/bin/tesmira usr/share/man/man1/tesmira.1.gz usr/share/applications/tesmira.desktop \
         usr/share/icons/hicolor/scalable/apps/tesmira.svg usr/share/doc/tesmira-gui/copyright; do
  [ -e "$work/gui/$f" ] || fail "tesmira-gui lacks $f"
done
# Both installed side by side, as dpkg would: no file in both packages.
overlap="$(comm -12 <(cd "$root" && find . ! -type d | sort) <(cd "$work/gui" && find . ! -type d | sort))"
[ -z "$overlap" ] || fail "files in both packages: $overlap"
"$root/usr/bin/tesmirad" --version | grep -q '^Tesmira [0-9]' || fail "--version"

system_unit="$root/usr/lib/systemd/system/tesmira.service"
user_unit="$root/usr/lib/systemd/user/tesmira.service"
for unit in "$system_unit" "$user_unit"; do
  grep -qx 'Type=notify' "$unit" || fail "$unit is not Type=notify"
  grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "$unit does not reload with SIGHUP"
done
grep -q 'systemctl reload tesmira.service' "$root/etc/logrotate.d/tesmira" \
  || fail "logrotate does not signal the service alone"
if command -v systemd-analyze >/dev/null; then
  # The copies verified here name the unpacked program (the units name
  # /usr/bin/tesmirad and tesmirad on the search path) and leave out the man
  # pages, which are not installed where man looks.
  mkdir -p "$work/units/system" "$work/units/user"
  for kind in system user; do
    sed -e "s|^ExecStart=[^ ]*tesmirad|ExecStart=$root/usr/bin/tesmirad|" -e '/^Documentation=/d' \
      "$root/usr/lib/systemd/$kind/tesmira.service" >"$work/units/$kind/tesmira.service"
  done
  systemd-analyze verify "$work/units/system/tesmira.service" >"$work/verify" 2>&1 \
    || { cat "$work/verify"; fail "systemd-analyze verify of the system unit"; }
  [ ! -s "$work/verify" ] || { cat "$work/verify"; fail "systemd-analyze verify of the system unit says something"; }
  # A user manager's checks want a runtime folder of their own.
  mkdir -m 700 "$work/xdg"
  XDG_RUNTIME_DIR="$work/xdg" systemd-analyze verify --user "$work/units/user/tesmira.service" >"$work/verify" 2>&1 \
    || { cat "$work/verify"; fail "systemd-analyze verify of the user unit"; }
  [ ! -s "$work/verify" ] || { cat "$work/verify"; fail "systemd-analyze verify of the user unit says something"; }
  exposure="$(systemd-analyze security --offline=true "$system_unit" 2>&1 \
    | sed -n 's/.*Overall exposure level for tesmira.service: \([0-9.]*\).*/\1/p')"
  [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' \
    || fail "the system unit's exposure is '$exposure', above 2.5"
fi

# The folders systemd gives the system unit: /etc/tesmira as installed (the
# port switched to the virtual bus, the log to the scratch logs folder),
# /var/lib/tesmira, /var/log/tesmira and /run/tesmira (RuntimeDirectoryMode=0750).
chmod 755 "$work"
etc="$work/etc" state="$work/state" logs="$work/logs" run="$work/run"
cp -r "$root/etc/tesmira" "$etc"
sed -i "s|^InterfaceName=.*|InterfaceName=SIM|" "$etc/common.ini"
sed -i "s|^File=.*|File=$logs/parameters.log|" "$etc/program.ini"
mkdir -p "$state" "$logs" "$run"
chmod 750 "$run"
etc_before="$(cd "$etc" && ls -l --time-style=+%s.%N && cat ./*)"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TESMIRA_HOME -u XDG_RUNTIME_DIR -u TESMIRA_RUNTIME_DIR \
  CONFIGURATION_DIRECTORY="$etc" STATE_DIRECTORY="$state" LOGS_DIRECTORY="$logs" RUNTIME_DIRECTORY="$run" \
  "$root/usr/bin/tesmirad" /O >"$work/out" 2>&1 &
server=$!
for _ in $(seq 1 300); do
  grep -q 'Server is active and ready for any client' "$work/out" && break
  kill -0 "$server" 2>/dev/null || fail "the installed server ended early"
  sleep 0.1
done
grep -q 'Installed the default database' "$work/out" || fail "the default database was not found beside the program"
for f in "$state/Tesmira32/Tesmira.mdb" "$state/debug.log" "$logs/parameters.log" "$run/Tesmira.lock"; do
  [ -e "$f" ] || fail "$f is missing"
done
[ "$(stat -c %a "$run/dde")" = 750 ] && [ "$(stat -c %a "$run/dde/Tesmira")" = 660 ] \
  || fail "the link folder and socket are $(stat -c %a "$run/dde") and $(stat -c %a "$run/dde/Tesmira"), not 750 and 660"

client() { env -u XDG_RUNTIME_DIR TESMIRA_RUNTIME_DIR="$run" "$@" "$root/usr/bin/tesmira-dde" request Tesmira 'C(3)' 'P(9)'; }
value="$(client)" || fail "request C(3)!P(9) with TESMIRA_RUNTIME_DIR"
[[ "$value" =~ ^[0-9]+$ ]] || fail "C(3)!P(9) is '$value'"
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  # Another user: served as a member of the runtime folder's group, refused
  # outside it (exit 3, no such service: the socket cannot be reached).
  group="$(stat -c %g "$run")"
  value="$(client setpriv --reuid=65534 --regid=65534 --groups="$group")" || fail "a member of the group is not served"
  [[ "$value" =~ ^[0-9]+$ ]] || fail "C(3)!P(9) for a member of the group is '$value'"
  status=0
  client setpriv --reuid=65534 --regid=65534 --clear-groups >/dev/null 2>&1 || status=$?
  [ "$status" -eq 3 ] || fail "a user outside the group got exit status $status, not 3"
fi

kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ ! -e "$run/dde/Tesmira" ] || fail "the socket was left behind"
[ "$etc_before" = "$(cd "$etc" && ls -l --time-style=+%s.%N && cat ./*)" ] || fail "the server wrote to its configuration folder"
# The menu settings saved at shut-down equal the installed ones: nothing
# hides a later edit of /etc/tesmira/user.ini.
! grep -qi 'LogErrorsOnly' "$state/settings/user.ini" 2>/dev/null || fail "the installed defaults were copied: $(cat "$state/settings/user.ini")"
echo "package test passed: $(basename "$deb") $(basename "$gui")"
