#!/bin/sh
# The stub's cost on every start of the application: an installation of a stand-in
# application in the build's test prefix, nothing staged, the update check failing at
# once (no server); medians of many starts, against a floor program that makes only the
# platform calls the stub needs on that road (bench/floor_program.cpp), next to an empty
# program's start. The number of runs may be given: 101 by default, as fewer leave the
# medians to the machine's moods.
set -eu
cd "$(dirname "$0")/.."
bench_targets="empty_program floor_program"
. bench/stub_installation.sh
echo "== stub start-up cost ($(stat -c %s build/bin/BrindlewickSetup.exe) bytes, stripped)"
BRINDLEWICK_UPDATE_URL=https://localhost:1 build/wine-run build/bin/launch_bench.exe startup \
  "$root_win\\updater.exe" "$root_win\\app-9.9.9\\brindlewick.exe" \
  "$(printf 'Z:%s' "$PWD/build/bin/empty_program.exe" | tr / '\\')" \
  "$(printf 'Z:%s' "$PWD/build/bin/floor_program.exe" | tr / '\\')" "${1:-101}"
