#!/usr/bin/env bash
# Installs what building and testing needs, from Debian's own packages only.
# clang-14 builds the sanitizer test build and the fuzz targets; libclang-rt-14-dev holds its
# sanitizer and libFuzzer runtimes (only recommended by clang-14, so named here).
# Does nothing when everything is already there.
set -euo pipefail
packages=(build-essential cmake pkg-config clang-14 libclang-rt-14-dev zlib1g-dev libsqlite3-dev libplist-dev
          juce-modules-source-data googletest libgtest-dev libgmock-dev python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
