#!/bin/sh
# Builds the package benchmark and makes its packages once: a 200 MB release-like mix,
# its large files alone, its few thousand small files alone, 2,000 files of 1-8 KiB,
# and one ZIP64 entry of 4.5 GiB. Prints, each measured side by side in one run
# ("package.sh many": only the 2,000 files):
#   sha256_file against a bare CNG loop (the mix);
#   zip_extract against Info-ZIP unzip running natively and then syncing each file it
#   wrote, as zip_extract flushes each (the large files);
#   zip_extract against the plain loop that makes the same folders once and each file
#   with CreateFileW, WriteFile of the same byte count from memory and CloseHandle, in
#   the same Wine prefix (the small files, and the 2,000 files best of five);
#   zip_extract's peak working set above its baseline (all three), and where its time
#   goes: checking every entry's records before anything is made, reading and
#   inflating alone, and the bare loop's creating and writing;
#   then what checking the signatures adds to staging the mix with its .exe and .dll
#   signed: noting which files are program images while extracting, and checking them.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target package_bench fake_app >/dev/null
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
sh tools/wine-prefix.sh
wineserver -p 2>/dev/null || true  # already running is fine
work=build/bench
trap 'rm -rf "$work/out"; wineserver -k 2>/dev/null || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

mkdir -p "$work"
make_once() { [ -f "$work/$1" ] || /usr/bin/python3 bench/make_package.py $2 "$work/$1" >/dev/null; }
if [ "${1:-}" != many ]; then
  make_once package.zip ""
  make_once large.zip --large
  make_once small.zip --small
  make_once zeros.zip --zeros
fi
windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }
bench() { build/wine-run build/bin/package_bench.exe "$@"; }
value() { sed -n "s/^$1=//p"; }
least() { awk '{print ($2 < $1) ? $2 : $1}'; }
out="$(windows_path "$work")\\out"

# Many little files: zip_extract against the plain loop, best of five in turns, the
# disk's write-back of the round before finished first.
many_files() {
  package="$(windows_path "$work/many.zip")"
  ours=999999; theirs=999999
  for round in 1 2 3 4 5; do
    rm -rf "$work/out"; sync
    ours=$(echo "$ours $(bench extract "$package" "$out" | value seconds)" | least)
    rm -rf "$work/out"; sync
    theirs=$(echo "$theirs $(bench bare "$package" "$out" | value seconds)" | least)
  done
  rm -rf "$work/out"
  echo "== extracting 2,000 files of 1-8 KiB in 37 folders"
  echo "zip_extract      $ours s; plain loop $theirs s"
  echo "ratio            $(echo "$theirs $ours" | awk '{printf "%.2f", $1 / $2}') (target >= 0.9)"
}
make_once many.zip --many
if [ "${1:-}" = many ]; then
  many_files
  exit 0
fi

echo "== hashing $(du -m "$work/package.zip" | cut -f1) MB"
bench hash "$(windows_path "$work/package.zip")"

# Best of five of zip_extract and of the yardstick, taken in turns, the disk's
# write-back of the round before finished first; the growth of the working set is the
# largest seen. zip_extract flushes every file it writes to the disk before it returns;
# so does the yardstick "durable unzip": Info-ZIP unzip, then a sync of each file it wrote.
# Plain unzip is timed beside it, for reference.
compare() {
  package="$(windows_path "$work/$1")"
  ours=999999; theirs=999999; plain=999999; growth=0; inflate=999999; check=999999
  for round in 1 2 3 4 5; do
    rm -rf "$work/out"; sync
    result=$(bench extract "$package" "$out")
    ours=$(echo "$ours $(echo "$result" | value seconds)" | least)
    growth=$(echo "$growth $(echo "$result" | value growth)" | awk '{print ($2 > $1) ? $2 : $1}')
    rm -rf "$work/out"; sync
    if [ "$2" = unzip ]; then
      start=$(date +%s.%N)
      unzip -q "$work/$1" -d "$work/out"
      find "$work/out" -type f -exec sync {} +
      seconds=$(echo "$start $(date +%s.%N)" | awk '{print $2 - $1}')
      rm -rf "$work/out"; sync
      start=$(date +%s.%N)
      unzip -q "$work/$1" -d "$work/out"
      plain=$(echo "$plain $(echo "$start $(date +%s.%N)" | awk '{print $2 - $1}')" | least)
    else
      seconds=$(bench bare "$package" "$out" | value seconds)
    fi
    theirs=$(echo "$theirs $seconds" | least)
    inflate=$(echo "$inflate $(bench inflate "$package" | value seconds)" | least)
    check=$(echo "$check $(bench check "$package" | value seconds)" | least)
  done
  rm -rf "$work/out"
  bare=999999; empty=999999
  for round in 1 2 3; do
    bare=$(echo "$bare $(bench bare "$package" "$out" | value seconds)" | least)
    rm -rf "$work/out"
    empty=$(echo "$empty $(bench bare-empty "$package" "$out" | value seconds)" | least)
    rm -rf "$work/out"
  done
  echo "zip_extract      $ours s; $3 $theirs s"
  [ "$2" = unzip ] && echo "                 (plain unzip, nothing flushed: $plain s)"
  echo "ratio            $(echo "$theirs $ours" | awk '{printf "%.2f", $1 / $2}') (target >= $4)"
  echo "peak growth      $growth MiB (target <= 16)"
  echo "where time goes  checking every entry's records first $check s; reading and inflating"
  echo "                 $inflate s (one thread); in the bare loop, making folders"
  echo "                 and files $empty s, writing them $(echo "$bare $empty" | awk '{printf "%.3f", $1 - $2}') s more"
}

echo "== extracting $(unzip -l "$work/large.zip" | tail -1 | awk '{print $2}') large files"
compare large.zip unzip "durable unzip" 1.0
echo "== extracting $(unzip -l "$work/small.zip" | tail -1 | awk '{print $2}') small files"
compare small.zip bare "bare loop" 0.9
many_files
echo "== extracting the 200 MB mix (for reference)"
compare package.zip unzip "durable unzip" "-"

echo "== extracting one 4.5 GiB entry"
rm -rf "$work/out"
result=$(bench extract "$(windows_path "$work/zeros.zip")" "$out")
echo "$result" | grep zip_extract
size=$(stat -c %s "$work/out/data/zeros.bin")
[ "$size" -eq 4831838208 ] && verdict="right size, CRC-32 checked" || verdict="WRONG SIZE $size"
echo "output           $verdict"
echo "peak growth      $(echo "$result" | value growth) MiB (target <= 16)"

echo "== checking signatures (the mix again, its .exe and .dll signed)"
pin=$(/usr/bin/python3 tests/package/code_signing_certs.py "$work/signing")
[ -f "$work/signed-package.zip" ] ||
  /usr/bin/python3 bench/make_package.py "$work/signed-package.zip" 200 build/bin/fake_app.exe \
    "$work/signing/publisher.pem" "$work/signing/publisher-key.pem" >/dev/null
rm -rf "$work/out"
bench signatures "$(windows_path "$work/signed-package.zip")" "$out" "$pin"
