#!/bin/sh
# The main job: builds what is missing, then shows the installer, the updater and the
# uninstaller at work in a throwaway Wine prefix against a local HTTPS server.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target BrindlewickSetup fake_app ui_probe trust_ca >/dev/null
. tools/xvfb.sh
start_xvfb
trap stop_xvfb EXIT
/usr/bin/python3 tools/demo.py build
