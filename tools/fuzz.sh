#!/bin/sh
# Fuzzes the parsers of outside and on-disk input: builds the targets of tools/fuzz
# natively with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) into
# build/fuzz, seeds them from the test fixtures and runs each in turn. Exits 1 on any
# finding, naming the input that shows it.
#   sh tools/fuzz.sh [SECONDS [TARGET...]]   each target, or those named, SECONDS long (60)
#   sh tools/fuzz.sh TARGET FILE             one target on one input, e.g. a finding
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh fuzz
out=build/fuzz
cmake -S tools/fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$out"
if [ $# -eq 2 ] && [ -x "$out/$1" ] && [ -f "$2" ]; then
  exec "$out/$1" "$2"
fi

seconds=${1:-60}
case $seconds in
  '' | *[!0-9]*)
    echo "usage: sh tools/fuzz.sh [SECONDS [TARGET...]] | TARGET FILE" >&2
    exit 2
    ;;
esac
[ $# -gt 0 ] && shift
targets=$*
if [ -z "$targets" ]; then
  for source in tools/fuzz/fuzz_*.cpp; do targets="$targets $(basename "$source" .cpp)"; done
fi
# Debian's interpreter first: the one first on PATH may not see Debian's packages.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" tools/fuzz/make_seeds.py "$out/corpus"
mkdir -p "$out/findings" "$out/logs"
status=0
for target in $targets; do
  # Texts of 16 KiB reach every rule. A package of at most 64 KiB justifies at most 1032
  # times that for one deflated entry: a larger block means the reader believed a size
  # the input cannot back.
  limits="-max_len=16384"
  [ "$target" = fuzz_zip_reader ] && limits="-max_len=65536 -malloc_limit_mb=128"
  log="$out/logs/$target.log"
  # New inputs that reach further join the corpus, so later runs start from them.
  # shellcheck disable=SC2086
  if "$out/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 $limits \
    -artifact_prefix="$out/findings/$target-" "$out/corpus/$target" >"$log" 2>&1; then
    echo "$target: $(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' \
      "$log"), no finding"
  else
    status=1
    tail -n 30 "$log"
    input=$(sed -n 's/.*Test unit written to \(.*\)/\1/p' "$log" | tail -n 1)
    echo "$target: FINDING (log $log)"
    echo "  input: ${input:-none written}; replay: sh tools/fuzz.sh $target ${input:-FILE}"
  fi
done
exit $status
