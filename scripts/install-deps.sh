#!/usr/bin/env bash
# Installs what the build and the tests need; does nothing when all of it is there.
set -euo pipefail
pkgs=(cmake make g++-mingw-w64-x86-64-posix wine64 xvfb fonts-thai-tlwg-ttf googletest
      python3 openssl nginx clang libclang-rt-14-dev imagemagick)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
