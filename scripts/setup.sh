#!/usr/bin/env bash
# Installs everything the build, the tests, the game window and the benchmarks need on Debian 12.
# Idempotent: packages already present are left alone, and apt is only asked when one is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config libssl-dev zlib1g-dev
  # tests
  googletest libgtest-dev libgmock-dev
  # game window (Qt 6 Widgets + Network), offscreen and Xvfb runs, a sans-serif font
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins xvfb xauth fontconfig fonts-dejavu-core
  # private test server and its client, the PAM test account's user database
  mariadb-server mariadb-client db5.3-util libpam-modules
  # fuzz targets (preset "fuzz"): clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # benchmark peer only: never linked into the product
  libmariadb-dev
  # the scripts themselves
  perl procps
)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs Debian packages with apt-get)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup.sh: all ${#packages[@]} packages present"
  exit 0
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Debian's server package would start a system-wide MariaDB; the tests run their own instead.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
