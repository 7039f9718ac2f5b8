#!/bin/sh
# The stub's cost on every start of the application: an installation of a stand-in
# application in the build's test prefix, nothing staged, the update check failing at
# once (no server); medians of many starts, against a floor program that makes only the
# platform calls the stub needs on that road (bench/floor_program.cpp), next to an empty
# program's start. The number of runs may be given: 101 by default, as fewer leave the
# medians to the machine's moods.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target BrindlewickSetup launch_bench stamp_app empty_program \
  floor_program >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -1)
root="$WINEPREFIX/drive_c/users/$user/AppData/Local/Brindlewick"
trap 'rm -rf "$root"; wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

root_win="C:\\users\\$user\\AppData\\Local\\Brindlewick"
rm -rf "$root"
mkdir -p "$root/app-9.9.9"
cp build/bin/BrindlewickSetup.exe "$root/updater.exe"
cp build/bin/stamp_app.exe "$root/app-9.9.9/brindlewick.exe"
printf '{\n  "installed": "9.9.9"\n}' >"$root/install.json"
echo "== stub start-up cost ($(stat -c %s build/bin/BrindlewickSetup.exe) bytes, stripped)"
BRINDLEWICK_UPDATE_URL=https://localhost:1 build/wine-run build/bin/launch_bench.exe startup \
  "$root_win\\updater.exe" "$root_win\\app-9.9.9\\brindlewick.exe" \
  "$(printf 'Z:%s' "$PWD/build/bin/empty_program.exe" | tr / '\\')" \
  "$(printf 'Z:%s' "$PWD/build/bin/floor_program.exe" | tr / '\\')" "${1:-101}"
