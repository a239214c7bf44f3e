#!/bin/sh
# Installs from Debian 12 whatever the build, the service and its tests need and is not
# there yet; does nothing when everything is present. Runs as root (through sudo when
# need be).
set -eu
. "$(dirname "$0")/as-root.sh"
packages="
  cmake ninja-build g++ pkg-config
  libpoco-dev
  googletest libgtest-dev
  psmisc
  openvpn
  iproute2 util-linux procps
  clang libclang-rt-14-dev clang-tidy
  chromium nodejs node-ws
"
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
if [ -z "$missing" ]; then
    exit 0
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
