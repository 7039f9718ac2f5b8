#!/bin/sh
# A first installation of a 50 MB release over loopback HTTPS, from starting the setup
# program to the application's first instruction, split into download, hash, extraction
# and the rest; then the bare-loop figures of the transfer and package benchmarks for the
# same package.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target BrindlewickSetup launch_bench stamp_app transfer_bench \
  package_bench trust_ca >/dev/null
. tools/xvfb.sh
start_xvfb
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
work=build/bench/install
python=/usr/bin/python3
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -1)
root="$WINEPREFIX/drive_c/users/$user/AppData/Local/Brindlewick"
trap '$python tests/update/test_server.py stop "$work/server"; rm -rf "$root";
      wineserver -k 2>/dev/null || true; stop_xvfb' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
mkdir -p "$work/www"
[ -f "$work/www/package.zip" ] ||
  $python bench/make_package.py "$work/www/package.zip" 58 build/bin/stamp_app.exe
$python tests/update/test_server.py start "$work/server" "$work/www"
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
build/wine-run build/bin/trust_ca.exe "$(windows_path "$work/server/certs/ca.der")"
base="https://localhost:$(cat "$work/server/https_port")"
$python tools/release.py sign --version 5.0.0 --url "$base/files/package.zip" \
  --package "$work/www/package.zip" --key build/dev-key/manifest-key.pem \
  --out "$work/www/latest.json" >/dev/null

echo "== installing a $(du -m "$work/www/package.zip" | cut -f1) MB release"
BRINDLEWICK_UPDATE_URL="$base/files" build/wine-run build/bin/launch_bench.exe install \
  "$(windows_path build/bin/BrindlewickSetup.exe)" "C:\\users\\$user\\AppData\\Local\\Brindlewick\\app-5.0.0" \
  "$base/files/package.zip" 3
echo "== the same package against bare loops"
build/wine-run build/bin/transfer_bench.exe file "$base/files/package.zip" \
  "$(windows_path "$work")\\download.zip"
build/wine-run build/bin/package_bench.exe hash "$(windows_path "$work/www/package.zip")"
