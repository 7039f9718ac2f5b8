#!/bin/sh
# Fetches Debian's source of zstd (source package libzstd) once into build-deps/libzstd,
# from which the build compiles the decoder. A later run finds it there and does nothing.
# To get it, the machine needs deb-src entries: this script adds its own, the Debian
# entries of /etc/apt/sources.list.d/debian.sources (else /etc/apt/sources.list) with
# "deb-src" for "deb", as /etc/apt/sources.list.d/brindlewick-src.sources (or .list).
set -eu
cd "$(dirname "$0")/.."
cache="$PWD/build-deps"
target="$cache/libzstd"
[ -f "$target/lib/zstd.h" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
parts=/etc/apt/sources.list.d
# A machine that already knows where the source is gets no entry of ours.
if ! apt-get source --print-uris -qq libzstd >/dev/null 2>&1; then
  if [ ! -e "$parts/brindlewick-src.sources" ] && [ ! -e "$parts/brindlewick-src.list" ]; then
    if [ -f "$parts/debian.sources" ]; then
      # deb822 stanzas: each one whose Types name "deb" again, with deb-src alone.
      entries=$(awk '
        BEGIN { RS = "" }
        {
          n = split($0, line, "\n"); binary = 0; out = ""
          for (i = 1; i <= n; i++) {
            if (line[i] ~ /^Types:/) {
              if ((" " substr(line[i], 7) " ") ~ /[ \t]deb[ \t]/) binary = 1
              line[i] = "Types: deb-src"
            }
            out = out line[i] "\n"
          }
          if (binary) printf "%s\n", out
        }' "$parts/debian.sources")
      file="$parts/brindlewick-src.sources"
    else
      entries=$(sed -n 's/^[ \t]*deb[ \t]/deb-src /p' /etc/apt/sources.list 2>/dev/null || true)
      file="$parts/brindlewick-src.list"
    fi
    if [ -z "$entries" ]; then
      echo "no Debian package source found to add a deb-src entry for" >&2
      exit 1
    fi
    echo "adding $file (deb-src, for the source of zstd)" >&2
    printf '# Added by tools/zstd-source.sh of Brindlewick Setup: Debian source packages.\n%s\n' \
      "$entries" | $sudo tee "$file" >/dev/null
  fi
  # Also when the entry is there but an earlier update was cut off.
  $sudo apt-get update -q
fi

# Unpacked beside the cache first, so that an interrupted run leaves no half tree.
mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The version of the installed zstd tool first, which makes the tests' patches, then the
# others the sources offer, newest first: a mirror may lack one (it happened with a
# security update's pool here).
versions=$( (dpkg-query -W -f='${Version}\n' zstd 2>/dev/null || true
  apt-cache showsrc libzstd 2>/dev/null | sed -n 's/^Version: //p' | sort -rV) | awk 'NF && !seen[$0]++')
fetched=""
for version in $versions; do
  if (cd "$work" && apt-get source -q "libzstd=$version") >&2; then
    fetched=$version
    break
  fi
  rm -rf "${work:?}"/*
done
if [ -z "$fetched" ]; then
  echo "apt-get source libzstd failed for every version offered ($versions)" >&2
  exit 1
fi
tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libzstd-*' | head -n 1)
if [ -z "$tree" ] || [ ! -f "$tree/lib/zstd.h" ]; then
  echo "apt-get source libzstd gave no zstd source tree" >&2
  exit 1
fi
# The Debian version it came from, for the record.
sed -n 's/^Version: //p' "$work"/libzstd_*.dsc >"$tree/DEBIAN_VERSION"
rm -rf "$target"
mv "$tree" "$target"
echo "zstd source: $target ($(cat "$target/DEBIAN_VERSION"))" >&2
