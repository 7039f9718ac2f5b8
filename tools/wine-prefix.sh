#!/bin/sh
# Creates the Wine prefix named by WINEPREFIX, or brings one made by an earlier version of
# this script up to date; later calls return at once. Safe to call from parallel test
# processes.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix folder}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko install prompts, no Linux menu entries from shortcuts.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
# Raised whenever what this script sets up changes.
ready="$WINEPREFIX/.bw-ready-2"
[ -f "$ready" ] && exit 0
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$ready" ] && exit 0
echo "setting up Wine prefix $WINEPREFIX" >&2
wineboot -i >/dev/null 2>&1
wineserver -w
# A new prefix links Desktop, Documents and the like to the Linux home folder; shortcut
# and file tests must stay inside the prefix, so those become real folders.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then
    rm "$link"
    mkdir "$link"
  fi
done
# No window manager runs under Xvfb: windows are left unmanaged (else hiding one waits two
# seconds for a manager's answer) and draw their own frames, as on Windows.
for setting in Managed Decorated; do
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v $setting /d N /f >/dev/null 2>&1
done
wineserver -w
touch "$ready"
