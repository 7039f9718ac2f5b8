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
# Start Wine's own background services now, with no pipe of a test attached: started
# by the first test instead, they would hold its output open and stall it.
wine cmd /c exit </dev/null >/dev/null 2>&1
ctest --preset mingw "$@"
# A full run also gives each fuzz target a few seconds, so that they keep building.
if [ $# -eq 0 ]; then
  sh tools/fuzz.sh 5
fi
