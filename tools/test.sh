#!/bin/sh
# Sets up what is missing, builds, and runs every test under Wine in the build's own
# prefix. A second run reuses the packages, the build and the prefix.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
# The installer's window and message boxes need a display.
. tools/xvfb.sh
start_xvfb
# One Wine server for the whole run: starting a test process then costs milliseconds.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
trap 'wineserver -k 2>/dev/null || true; stop_xvfb' EXIT
# Wine's own background services, and a program that stays on the desktop for the whole
# run, started now with no pipe of a test attached: started by a test instead, they would
# hold its output open and stall it, and the desktop's process would end and start again
# between tests.
wine cmd /c exit </dev/null >/dev/null 2>&1
mkdir -p build/test-artifacts
desktop_log=build/test-artifacts/desktop-user.txt
rm -f "$desktop_log"
wine build/bin/ui_probe.exe desktop </dev/null >"$desktop_log" 2>/dev/null &
tries=0
until grep -q staying "$desktop_log" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le 600 ] || { echo "the desktop did not come up" >&2; exit 1; }
  sleep 0.1
done
ctest --preset mingw "$@"
# A full run also gives each fuzz target a few seconds, so that they keep building.
if [ $# -eq 0 ]; then
  sh tools/fuzz.sh 5
fi
