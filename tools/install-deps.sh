#!/bin/sh
# Installs the Debian packages the build and the tests need, if any is missing.
set -eu
packages="cmake ninja-build g++-mingw-w64-x86-64-posix nlohmann-json3-dev libz-mingw-w64-dev
  python3-cryptography python3-pytest openssl osslsigncode
  googletest wine wine64 python3 zip unzip xvfb"
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0
echo "installing:$missing" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing
