#!/bin/sh
# Sets up what is missing and builds BrindlewickSetup.exe.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target BrindlewickSetup
exe="$PWD/build/bin/BrindlewickSetup.exe"
echo "built $exe ($(stat -c %s "$exe") bytes, stripped)"
