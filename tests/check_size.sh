#!/bin/sh
# Fails when the program outgrows its budget of 400 KiB, stripped. It is easily lost
# unseen: a function's static with a guarded start-up alone brings in a threads library of
# 24 KiB, std::to_wstring a formatter of 24 KiB. bench/size.sh shows what the size is
# made of.
set -eu
exe=$1
budget=$((400 * 1024))
size=$(stat -c %s "$exe")
echo "$exe: $size bytes of at most $budget"
[ "$size" -le "$budget" ] || { echo "FAIL: over the budget; see bench/size.sh"; exit 1; }
