#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; does nothing when all
# are present. Safe to run again.
set -eu
packages=(cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine googletest
  nlohmann-json3-dev libz-mingw-w64-dev python3 xvfb xauth fonts-wqy-microhei imagemagick
  xdotool curl procps ccache osslsigncode openssl dpkg-dev xz-utils python3-cryptography)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
