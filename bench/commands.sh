#!/bin/sh
# What the application's commands to its stub cost: "/apply" against a start from the
# shortcut (to the application's first instruction), and "/check" against the shortcut's
# start with its background check, the local update server announcing the installed
# version (nothing new). An installation of a stand-in application in the build's test
# prefix; medians of RUNS (21 by default).
set -eu
cd "$(dirname "$0")/.."
bench_targets="empty_program trust_ca"
bench_cleanup() { /usr/bin/python3 tests/update/test_server.py stop build/test-server; }
. bench/stub_installation.sh
sh tests/update/start_server.sh /usr/bin/python3 "$PWD/build" "$PWD/build/bin/trust_ca.exe"
www=build/update-fixtures/www/bench-commands
mkdir -p "$www"
/usr/bin/python3 - "$www/latest.json" build/dev-key/manifest-key.pem <<'PY'
import json, sys
sys.path.insert(0, "tools")
import release
key = release.load_private_key(sys.argv[2])
payload = json.dumps({"version": "9.9.9", "url": "https://localhost/none.zip",
                      "sha256": "ab" * 32}).encode()
with open(sys.argv[1], "w") as out:
    out.write(release.envelope_text(payload, release.p1363_signature(key, payload)))
PY

echo "== the application's commands to its stub"
BRINDLEWICK_UPDATE_URL="https://localhost:$(cat build/test-server/https_port)/files/bench-commands" \
  build/wine-run build/bin/launch_bench.exe commands "$root_win\\updater.exe" \
  "$root_win\\app-9.9.9\\brindlewick.exe" \
  "$(printf 'Z:%s' "$PWD/build/bin/empty_program.exe" | tr / '\\')" "${1:-21}" |
  grep -v '^{"installed"'  # what each /check answers on the output it inherits
