#!/bin/sh
# Fails when code of src calls a file function of the system outside the file operations
# (src/state/fs.cpp): everything else goes through them, so that every path reaches the
# system in its long form and every operation waits out a file another program holds.
set -eu
src=$1
functions='CreateFile[AW]?|CreateDirectory[AW]?|RemoveDirectory[AW]?|DeleteFile[AW]?'
functions="$functions|MoveFile(Ex|WithProgress)?[AW]?|CopyFile(Ex)?[AW]?|ReplaceFile[AW]?"
functions="$functions|[GS]etFileAttributes(Ex)?[AW]?|FindFirstFile(Ex)?[AW]?|GetDiskFreeSpace(Ex)?[AW]?"
functions="$functions|GetLongPathName[AW]?|GetFullPathName[AW]?|CreateHardLink[AW]?"
functions="$functions|CreateSymbolicLink[AW]?|_?w?fopen(_s)?|_w?fsopen|_w?open|_w?sopen(_s)?"
found=$(grep -rnE "(^|[^A-Za-z0-9_])($functions)[[:space:]]*\(" "$src" --include='*.cpp' \
  --include='*.h' | grep -v "^$src/state/fs\.cpp:" | grep -vE ':[0-9]+:[[:space:]]*//' || true)
if [ -n "$found" ]; then
  echo "FAIL: file functions called outside src/state/fs.cpp:"
  echo "$found"
  exit 1
fi
echo "every file function of src is called in src/state/fs.cpp"
