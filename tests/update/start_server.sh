#!/bin/sh
# Writes the update fixtures, starts the test update server in the background and makes
# the test Wine prefix trust its CA.  start_server.sh PYTHON BUILD_DIR TRUST_CA_EXE
set -eu
python=$1 build=$2 trust=$3
here=$(dirname "$0")
"$python" "$here/make_update_fixtures.py" "$build/update-fixtures" "$build/dev-key/manifest-key.pem"
"$python" "$here/test_server.py" start "$build/test-server" "$build/update-fixtures/www"
"$build/wine-run" "$trust" "$(printf 'Z:%s' "$build/test-server/certs/ca.der" | tr / '\\')"
