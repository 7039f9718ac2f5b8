#!/bin/sh
# Fails when a source file includes a folder of src that its own folder may not use.
# src/state and src/ui are the base; nothing includes upwards.
set -eu
src=$1
status=0
allowed() {
  case $1 in
    state | ui) echo "" ;;
    update | shell) echo "state" ;;
    package) echo "state update ui" ;;
    app) echo "state update ui package shell app" ;;
  esac
}
for dir in state ui update shell package app; do
  ok=" $dir $(allowed $dir) "
  for file in "$src/$dir"/*; do
    for used in $(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file"); do
      case $ok in
        *" $used "*) ;;
        *) echo "FAIL: ${file#$src/} includes from src/$used"; status=1 ;;
      esac
    done
  done
done
exit $status
