#!/bin/sh
# What "release.py report" costs on a busy server's access log: bench/make_access_log.py
# writes one of LINES lines (1,000,000 by default; about 160 MB) once, and a gzip copy of
# it; each is counted under /usr/bin/time, against the goals of 10 s and 100 MiB.
set -eu
cd "$(dirname "$0")/.."
python=/usr/bin/python3
lines=${1:-1000000}
work=build/bench/report
mkdir -p "$work"
log="$work/access-$lines.log"
[ -f "$log" ] || $python bench/make_access_log.py "$log" "$lines"
[ -f "$log.gz" ] || gzip -c "$log" >"$log.gz"

for file in "$log" "$log.gz"; do
  echo "== release.py report $(basename "$file") ($(stat -c %s "$file") bytes)"
  /usr/bin/time -v -o "$work/time.txt" $python tools/release.py report "$file" >"$work/table.txt"
  tail -1 "$work/table.txt"
  awk -F': ' '/Elapsed \(wall clock\)/ { print "elapsed        " $2 " (goal under 0:10)" }
              /Maximum resident set size/ { printf "peak memory    %.1f MiB (goal under 100 MiB)\n", $2 / 1024 }' \
    "$work/time.txt"
done
