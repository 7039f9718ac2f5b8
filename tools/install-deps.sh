#!/bin/sh
# Installs the Debian packages the build and the tests need, if any is missing, and
# fetches the source of zstd once (tools/zstd-source.sh).
# With "fuzz": also what tools/fuzz.sh needs (clang, its libFuzzer, native zlib).
set -eu
packages="cmake ninja-build g++-mingw-w64-x86-64-posix nlohmann-json3-dev libz-mingw-w64-dev
  python3-cryptography python3-pytest openssl osslsigncode
  googletest wine wine64 python3 zip unzip xvfb strace dpkg-dev zstd nginx-light squid"
[ "${1:-}" = fuzz ] && packages="$packages clang libclang-rt-14-dev zlib1g-dev"
# One query for all: a check when nothing is missing costs milliseconds.
# shellcheck disable=SC2086
installed=" $(dpkg-query -W -f='${db:Status-Abbrev}${Package}\n' $packages 2>/dev/null |
  sed -n 's/^ii *//p' | tr '\n' ' ') "
missing=""
for package in $packages; do
  case $installed in
    *" $package "*) ;;
    *) missing="$missing $package" ;;
  esac
done
if [ -n "$missing" ]; then
  echo "installing:$missing" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  # shellcheck disable=SC2086
  $sudo apt-get install -y -q --no-install-recommends $missing
fi
sh "$(dirname "$0")/zstd-source.sh"
