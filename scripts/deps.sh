#!/bin/sh
# Installs the Debian packages that building ("build") or testing ("test")
# needs and that are missing. Safe to run again: it does nothing when all are
# there.
set -e
what=${1:-build}

BUILD_PKGS="g++ cmake make libsqlite3-dev"
TEST_PKGS="$BUILD_PKGS libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev python3 clang libclang-rt-14-dev dante-server microsocks tinyproxy inn2"

case "$what" in
  build) pkgs=$BUILD_PKGS ;;
  test) pkgs=$TEST_PKGS ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

missing=""
for p in $pkgs; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "Missing packages:$missing (run as root or install sudo)" >&2; exit 1
  fi
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# INN's set-up script refuses a host name without a domain and leaves dpkg
# half-configured; give it a domain and finish the configuration.
if ! $SUDO apt-get install -y -qq $missing; then
  if [ -f /etc/news/inn.conf ]; then
    $SUDO sed -i 's/^#*domain:.*/domain: localdomain/' /etc/news/inn.conf
    $SUDO dpkg --configure -a
  else
    exit 1
  fi
fi
