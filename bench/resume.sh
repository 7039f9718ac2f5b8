#!/bin/sh
# A download killed at 50%, 80% and 99% of a release and continued by the next run: the
# bytes the server sent twice, from its own log (bench/resume.py).
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw >/dev/null
. tools/xvfb.sh
start_xvfb
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all BW_BUILD_DIR="$PWD/build"
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
trap 'wineserver -k 2>/dev/null || true; stop_xvfb' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
# The CA the server's certificate is made with must be trusted in the prefix.
/usr/bin/python3 -c "import sys; sys.path.insert(0, 'tools'); import release; release.make_certificates('build/test-server/certs')"
build/wine-run build/bin/trust_ca.exe "$(printf 'Z:%s' "$PWD/build/test-server/certs/ca.der" | tr / '\\')"
/usr/bin/python3 bench/resume.py "$@"
