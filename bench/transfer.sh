#!/bin/sh
# Builds the transfer benchmark, serves a 100 MB package over loopback HTTPS with the
# test server, and prints http_get_file against a bare WinHTTP loop, and the peak memory
# of fetching a 1 MiB text.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target transfer_bench trust_ca >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
work=build/bench/transfer
python=/usr/bin/python3
trap '$python tests/update/test_server.py stop "$work/server"; wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

mkdir -p "$work/www"
[ -f "$work/www/package.zip" ] || head -c 104857600 /dev/urandom >"$work/www/package.zip"
$python tests/update/test_server.py start "$work/server" "$work/www"
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
build/wine-run build/bin/trust_ca.exe "$(windows_path "$work/server/certs/ca.der")"
base="https://localhost:$(cat "$work/server/https_port")"

echo "== downloading 100 MB over loopback HTTPS"
build/wine-run build/bin/transfer_bench.exe file "$base/files/package.zip" \
  "$(windows_path "$work")\\download.zip"
echo "== fetching a 1 MiB text"
for mode in text bare-text; do
  build/wine-run build/bin/transfer_bench.exe $mode "$base/body/100" "$base/body/1048576"
done
