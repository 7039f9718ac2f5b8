#!/bin/sh
# Writes a delay-import library with every function of a MinGW import library.
#   delay_import_lib.sh NM DLLTOOL IMPORT_LIBRARY OUTPUT
set -eu
nm=$1 dlltool=$2 implib=$3 out=$4
{
  echo "LIBRARY $("$dlltool" --identify "$implib")"
  echo "EXPORTS"
  "$nm" -g --defined-only "$implib" 2>/dev/null | sed -n 's/.* I __imp_//p' | sort -u
} >"$out.def"
"$dlltool" --input-def "$out.def" --output-delaylib "$out"
