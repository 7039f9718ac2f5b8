#!/bin/sh
# What the application's commands to its stub cost: "/apply" against a start from the
# shortcut (to the application's first instruction), and "/check" against the shortcut's
# start with its background check, the local update server announcing the installed
# version (nothing new). An installation of a stand-in application in the build's test
# prefix; medians of RUNS (21 by default).
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target BrindlewickSetup launch_bench stamp_app empty_program \
  trust_ca >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -1)
root="$WINEPREFIX/drive_c/users/$user/AppData/Local/Brindlewick"
trap 'rm -rf "$root"; /usr/bin/python3 tests/update/test_server.py stop build/test-server;
  wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
sh tests/update/start_server.sh /usr/bin/python3 "$PWD/build" "$PWD/build/bin/trust_ca.exe"
www=build/update-fixtures/www/bench-commands
mkdir -p "$www"
/usr/bin/python3 - "$www/latest.json" build/dev-key/manifest-key.pem <<'PY'
import json, sys
sys.path.insert(0, "tools")
import release
key = release.load_private_key(sys.argv[2])
payload = json.dumps({"version": "9.9.9", "url": "https://localhost/none.zip",
                      "sha256": "ab" * 32}).encode()
with open(sys.argv[1], "w") as out:
    out.write(release.envelope_text(payload, release.p1363_signature(key, payload)))
PY

root_win="C:\\users\\$user\\AppData\\Local\\Brindlewick"
rm -rf "$root"
mkdir -p "$root/app-9.9.9"
cp build/bin/BrindlewickSetup.exe "$root/updater.exe"
cp build/bin/stamp_app.exe "$root/app-9.9.9/brindlewick.exe"
printf '{\n  "installed": "9.9.9"\n}' >"$root/install.json"
echo "== the application's commands to its stub"
BRINDLEWICK_UPDATE_URL="https://localhost:$(cat build/test-server/https_port)/files/bench-commands" \
  build/wine-run build/bin/launch_bench.exe commands "$root_win\\updater.exe" \
  "$root_win\\app-9.9.9\\brindlewick.exe" \
  "$(printf 'Z:%s' "$PWD/build/bin/empty_program.exe" | tr / '\\')" "${1:-21}" |
  grep -v '^{"installed"'  # what each /check answers on the output it inherits
