#!/usr/bin/env bash
# Installs what the build and the tests need; does nothing when all of it is there.
set -euo pipefail
pkgs=(cmake make g++-mingw-w64-x86-64-posix wine64 xvfb fonts-thai-tlwg-ttf googletest
      python3 openssl nginx tinyproxy clang libclang-rt-14-dev imagemagick locales openbox x11-utils libssl-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# A Thai locale, so tests can run the program under the Thai ANSI code page.
if ! locale -a 2>/dev/null | grep -qi '^th_TH\.utf-\?8$'; then
  $SUDO localedef -i th_TH -f UTF-8 th_TH.UTF-8
fi
