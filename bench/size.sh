#!/bin/sh
# Builds BrindlewickSetup.exe and prints what its stripped size is made of.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target BrindlewickSetup >/dev/null
mkdir -p build/bench
# The program's own link command again, with a map and another output.
link=$(cd build && ninja -t commands BrindlewickSetup | tail -1)
(cd build && eval "$(echo "$link" |
  sed 's| -o bin/BrindlewickSetup.exe | -Wl,-Map=bench/BrindlewickSetup.map -o bench/mapped.exe |')")
[ "$(stat -c %s build/bench/mapped.exe)" = "$(stat -c %s build/bin/BrindlewickSetup.exe)" ] ||
  echo "(the mapped link differs in size from the build's; figures are for the mapped one)"
/usr/bin/python3 bench/size.py build/bench/BrindlewickSetup.map build/bench/mapped.exe
