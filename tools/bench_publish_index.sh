#!/usr/bin/env bash
# The cost of chunk indexes when publishing: zefo_publish on a game of one big file with
# --no-indexes and with its indexes (chunking, SHA-256 of every chunk, the block records),
# then a republish that finds the indexes sound and keeps them. Each publish goes into a
# fresh web root; md5sum over the file is the reference.
# Usage: tools/bench_publish_index.sh [build folder] [MiB]
#   (defaults: build/native, 1024 MiB; zefo_publish is built there when missing)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
mib=${2:-1024}
publish=$build/tools/zefo_publish
if [ ! -x "$publish" ]; then
    cmake --build "$build" --target zefo_publish -j 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-publish-index-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/source/bench"
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/source/bench/big.bin"
printf 'Bench Game\n' >"$work/source/bench/game.txt"
touch -d '1 hour ago' "$work/source/bench/big.bin" "$work/source/bench/game.txt"
cat "$work/source/bench/big.bin" >/dev/null

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

start=$(now)
md5sum "$work/source/bench/big.bin" >/dev/null
reference=$(seconds "$start" "$(now)")

start=$(now)
"$publish" --no-indexes --cache "$work/cache1" "$work/source" "$work/www1" | tail -n 1
plain=$(seconds "$start" "$(now)")

start=$(now)
"$publish" --cache "$work/cache2" "$work/source" "$work/www2" | tail -n 1
indexed=$(seconds "$start" "$(now)")

start=$(now)
"$publish" --cache "$work/cache2" "$work/source" "$work/www2" | tail -n 1
again=$(seconds "$start" "$(now)")

zci=$(stat -c %s "$work"/www2/bench/.zefo/*.zci)
zcb=$(stat -c %s "$work"/www2/bench/.zefo/*.zcb)
awk -v mib="$mib" -v ref="$reference" -v plain="$plain" -v indexed="$indexed" -v again="$again" \
    -v zci="$zci" -v zcb="$zcb" 'BEGIN {
    printf "one file of %d MiB\n", mib
    printf "md5sum                          %8.3f s\n", ref
    printf "first publish, --no-indexes     %8.3f s   %6.2f x md5sum\n", plain, plain / ref
    printf "first publish with indexes      %8.3f s   %6.2f x md5sum   +%.3f s for the indexes\n", indexed, indexed / ref, indexed - plain
    printf "republish, indexes kept         %8.3f s\n", again
    printf ".zci %d bytes, .zcb %d bytes (%.3f %% of the file)\n", zci, zcb, 100 * (zci + zcb) / (mib * 1048576)
}'
