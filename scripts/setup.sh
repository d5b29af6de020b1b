#!/usr/bin/env bash
# Installs the Debian packages the build needs; apt is skipped when they are
# all present already.
set -euo pipefail
# dpkg-dev and file: the package's Depends (dpkg-shlibdeps); groff-base: the
# manual-page check.
pkgs=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libcjson-dev libssl-dev dpkg-dev file groff-base)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
