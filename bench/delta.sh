#!/bin/sh
# Makes the delta benchmark's release pair once (bench/make_delta_pair.py: a 40 MB
# executable of real code changed at five places, 200 data files of which one changes,
# one goes and one comes), serves it over loopback HTTPS with the test server, and prints
# each of the delta goals against its figure:
#   bytes: the delta package against the full package;
#   time: staging from the delta against staging from the full package, both by
#   fetch_and_stage, and against CopyFileW of the files the delta takes unchanged from the
#   installed version, best of five in turns; and where each road's time goes;
#   memory: the peak working set of a delta staging above the program's baseline, against
#   16 MiB and the largest patched file's old and new sizes (its two file mappings);
#   size: the stripped BrindlewickSetup.exe (bench/size.sh).
# Installs and stages under %LOCALAPPDATA%\Brindlewick of the build's own Wine prefix.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target delta_bench trust_ca >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
work=build/bench/delta
python=/usr/bin/python3
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -1)
root="$WINEPREFIX/drive_c/users/$user/AppData/Local/Brindlewick"
trap '$python tests/update/test_server.py stop "$work/server"; rm -rf "$root";
      wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

mkdir -p "$work/www"
[ -f "$work/www/delta.zip" ] || $python bench/make_delta_pair.py "$work/www"
$python tests/update/test_server.py start "$work/server" "$work/www"
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
build/wine-run build/bin/trust_ca.exe "$(windows_path "$work/server/certs/ca.der")"
base="https://localhost:$(cat "$work/server/https_port")"
bench() { build/wine-run build/bin/delta_bench.exe "$@"; }
full_size=$(stat -c %s "$work/www/new.zip")
full_sha=$(sha256sum "$work/www/new.zip" | cut -d' ' -f1)
delta_size=$(stat -c %s "$work/www/delta.zip")
delta_sha=$(sha256sum "$work/www/delta.zip" | cut -d' ' -f1)

echo "== bytes: 1.0.0 -> 1.1.0"
$python - "$work/www" <<'EOF'
import sys, zipfile, os
folder = sys.argv[1]
with zipfile.ZipFile(os.path.join(folder, "new.zip")) as z:
    exe = z.getinfo("brindlewick.exe")
print("brindlewick.exe  %d bytes, deflated in the package to %.1f%%" %
      (exe.file_size, 100.0 * exe.compress_size / exe.file_size))
EOF
echo "full package     $full_size bytes"
echo "delta package    $delta_size bytes"
echo "delta / full     $(echo "$delta_size $full_size" | awk '{printf "%.2f%%", 100 * $1 / $2}') (target <= 10%)"

echo "== time: staging 1.1.0 over loopback HTTPS with 1.0.0 installed"
bench setup "$(windows_path "$work/www/old.zip")"
bench time 5 "$(windows_path "$work/www/unchanged.txt")" \
  "$base/files/new.zip" "$full_sha" "$full_size" \
  "$base/files/delta.zip" "$delta_sha" "$delta_size" "$base/status/404"

echo "== memory: one staging from the delta in a process of its own"
mapped=$(awk '{ if ($2 + $3 > most) most = $2 + $3 } END { print most + 0 }' "$work/www/patched.txt")
bench memory "$base/body/100" "$full_sha" "$full_size" \
  "$base/files/delta.zip" "$delta_sha" "$delta_size" "$base/status/404" "$mapped"

echo "== size"
sh bench/size.sh | grep -i -E 'stripped|goal|target' || true
