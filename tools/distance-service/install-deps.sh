#!/usr/bin/env bash
# Installs the JDK and Apache Axis 1.4 that the distance service needs. Safe to run again;
# does nothing when everything is already there.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo -n"; else
    echo "install-deps.sh: not root and no sudo; install default-jdk-headless libaxis-java by hand" >&2
    exit 1
  fi
fi

PACKAGES=(default-jdk-headless libaxis-java)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists yet; only refresh when the candidate is unknown.
need_update=0
for p in "${missing[@]}"; do
  cand=$(apt-cache policy "$p" 2>/dev/null | awk '/Candidate:/ {print $2}')
  if [ -z "$cand" ] || [ "$cand" = "(none)" ]; then need_update=1; fi
done
if [ $need_update -eq 1 ]; then
  $SUDO apt-get update -qq || { echo "install-deps.sh: apt-get update failed" >&2; exit 1; }
fi
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  # Stale package lists name files the mirror no longer has: refresh once and retry.
  if [ $need_update -eq 1 ] || ! $SUDO apt-get update -qq \
    || ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    echo "install-deps.sh: apt-get install ${missing[*]} failed" >&2
    exit 1
  fi
fi
