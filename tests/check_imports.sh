#!/bin/sh
# Fails when the program imports statically a DLL that Windows may look for beside it:
# anything but the KnownDLLs below, which always come from the system folder (a MinGW
# runtime DLL included); and when it has no load configuration directory, which keeps
# the imports of those DLLs in the system folder too.
set -eu
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe")
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table read from $exe"; exit 1; }
echo "$exe imports:" $imports
status=0
for dll in $imports; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | user32.dll | advapi32.dll | shell32.dll | gdi32.dll | ole32.dll | msvcrt.dll) ;;
    *) echo "FAIL: $dll is no KnownDLL: delay-load it, or load it from the system folder"; status=1 ;;
  esac
done
if echo "$headers" | grep -q 'Entry a 0000000000000000 00000000 Load Configuration Directory'; then
  echo "FAIL: no load configuration directory"
  status=1
fi
exit $status
