#!/usr/bin/env bash
# Installs what the project needs to build, test and run on Debian 12, and the locales the
# tests use. Safe to run again.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config binutils
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
  libxml2-dev libcurl4-openssl-dev libssl-dev zlib1g-dev libminizip-dev libelf-dev libdw-dev libcapstone-dev libidn2-dev
  libxcb-xfixes0-dev libxcb-randr0-dev openssl python3 python3-pyftpdlib
  libgtest-dev libgmock-dev libbenchmark-dev
  locales xvfb xauth xdotool x11-apps
  dpkg-dev lintian desktop-file-utils
  default-jdk-headless libaxis-java
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi

# Locales for the number-format tests.
need_gen=0
for loc in en_US.UTF-8 de_DE.UTF-8; do
  if ! locale -a 2>/dev/null | grep -qi "^${loc%%.*}\.utf8$"; then
    $SUDO sed -i "s/^# *\(${loc} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${loc} UTF-8" /etc/locale.gen || echo "${loc} UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    need_gen=1
  fi
done
if [ $need_gen -eq 1 ]; then $SUDO locale-gen >/dev/null; fi
