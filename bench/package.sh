#!/bin/sh
# Builds the package benchmark, makes a 200 MB release-like package once, and prints
# sha256_file against a bare CNG loop, and zip_extract against Info-ZIP unzip running
# natively on the same package, with zip_extract's peak working set; then what checking
# the signatures adds to staging the same package with its .exe and .dll signed.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target package_bench fake_app >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

work=build/bench
mkdir -p "$work"
[ -f "$work/package.zip" ] || /usr/bin/python3 bench/make_package.py "$work/package.zip"
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
package="$(windows_path "$work/package.zip")"
bench=build/bin/package_bench.exe

echo "== hashing $(du -m "$work/package.zip" | cut -f1) MB"
build/wine-run "$bench" hash "$package"

echo "== extracting (best of 3 each)"
largest=$(/usr/bin/python3 -c 'import sys, zipfile
print(max(i.file_size for i in zipfile.ZipFile(sys.argv[1]).infolist()))' "$work/package.zip")
ours=999999; theirs=999999
for round in 1 2 3; do
  rm -rf "$work/ours" "$work/unzip"
  out=$(build/wine-run "$bench" extract "$package" "$(windows_path "$work")\\ours")
  [ "$round" -eq 1 ] && echo "$out" | grep -v '^seconds='
  seconds=$(echo "$out" | sed -n 's/^seconds=//p')
  ours=$(echo "$ours $seconds" | awk '{print ($2 < $1) ? $2 : $1}')
  start=$(date +%s.%N)
  unzip -q "$work/package.zip" -d "$work/unzip"
  seconds=$(echo "$start $(date +%s.%N)" | awk '{print $2 - $1}')
  theirs=$(echo "$theirs $seconds" | awk '{print ($2 < $1) ? $2 : $1}')
done
rm -rf "$work/ours" "$work/unzip"
echo "largest entry    $(echo "$largest" | awk '{printf "%.1f MiB", $1 / 1048576}') (peak target: this + 16 MiB)"
echo "zip_extract      $ours s under Wine"
echo "unzip (native)   $theirs s"
echo "throughput ratio $(echo "$theirs $ours" | awk '{printf "%.3f", $1 / $2}') (zip_extract / unzip)"

echo "== checking signatures (the package again, its .exe and .dll signed)"
pin=$(/usr/bin/python3 tests/package/code_signing_certs.py "$work/signing")
[ -f "$work/signed-package.zip" ] ||
  /usr/bin/python3 bench/make_package.py "$work/signed-package.zip" 200 build/bin/fake_app.exe \
    "$work/signing/publisher.pem" "$work/signing/publisher-key.pem"
rm -rf "$work/signed"
build/wine-run "$bench" extract "$(windows_path "$work/signed-package.zip")" \
  "$(windows_path "$work")\\signed" | grep '^zip_extract'
build/wine-run "$bench" signatures "$(windows_path "$work/signed")" "$pin"
rm -rf "$work/signed"
