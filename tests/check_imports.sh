#!/bin/sh
# Fails when the program imports a DLL of the MinGW runtime instead of linking it in.
set -eu
objdump=$1
exe=$2
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table read from $exe"; exit 1; }
echo "$exe imports:" $imports
if echo "$imports" | grep -i -E 'libstdc|libgcc|libwinpthread|mingw'; then
  echo "FAIL: a MinGW runtime DLL is needed at run time"
  exit 1
fi
