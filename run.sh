#!/usr/bin/env bash
# Tesmira: build and run helper.
#   ./run.sh demo   build, then start the server on the built-in virtual bus
#   ./run.sh test   build, then run the whole test suite
#   ./run.sh build  build only
#   ./run.sh package  build, then make the Debian packages build/tesmira*.deb
# Missing build packages are installed with apt-get on Debian 12 (as root, or
# through sudo when it is there).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${TESMIRA_BUILD_DIR:-$here/build}"
packages=(cmake g++ make qt6-base-dev qt6-serialport-dev qt6-charts-dev qt6-httpserver-dev qt6-websockets-dev libqt6sql6-sqlite socat ser2net libmosquitto-dev mosquitto mosquitto-clients pkg-config libsystemd-dev dpkg-dev lintian systemd chromium)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}

do_build() {
  install_missing
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)"
}

case "${1:-}" in
  build)
    do_build ;;
  test)
    do_build
    cd "$build"
    ctest --output-on-failure -j"$(nproc)" --timeout 300 ;;
  package)
    do_build
    cd "$build"
    cpack -G DEB
    ls "$build"/tesmira*.deb ;;
  demo)
    do_build
    # The demo keeps its own settings and database in build/demo-home, so it
    # never touches your own; it selects the virtual bus and opens it (/O),
    # and takes the demo bus into the device table without asking (/D).
    home="$build/demo-home"
    mkdir -p "$home"
    if [ ! -f "$home/common.ini" ]; then
      printf '[Communication]\nInterfaceName=SIM\n' > "$home/common.ini"
    fi
    shift
    TESMIRA_HOME="$home" XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp/tesmira-runtime-$(id -u)}" \
      exec "$build/bin/tesmira" /O /D "$@" ;;
  *)
    sed -n '2,8p' "$0"; exit 2 ;;
esac
