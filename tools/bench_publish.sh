#!/usr/bin/env bash
# Republish speed: zefo_publish on a game of a few thousand files, then again after one
# file changed (its fingerprint cache lets it read only that file), against md5sum over
# the same files as the reference. One run prints the three times and their ratios.
# Usage: tools/bench_publish.sh [build folder] [files] [total MiB]
#   (defaults: build/native, 3000 files, 2048 MiB, scaled down when the disk is short;
#    the zefo_publish target is built there when missing; an optimised build type gives
#    fair figures)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
files=${2:-3000}
total_mib=${3:-2048}
publish=$build/tools/zefo_publish
if [ ! -x "$publish" ]; then
    cmake --build "$build" --target zefo_publish -j 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-publish-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The game and its published copy, with room to spare.
free_mib=$(($(df -Pk "$work" | awk 'NR == 2 { print $4 }') / 1024))
if [ $((total_mib * 3)) -gt "$free_mib" ]; then
    total_mib=$((free_mib / 3))
    echo "only $free_mib MiB free: the game is scaled down to $total_mib MiB"
fi
per_file=$((total_mib * 1024 * 1024 / files))
game=$work/source/bench
mkdir -p "$game/data"
echo "creating $files files of $per_file bytes ($total_mib MiB) in $work"
head -c $((per_file * files)) /dev/urandom | split -b "$per_file" -a 5 -d - "$game/data/part"
printf 'Bench Game\n' >"$game/game.txt"
# Older than the run, as a game's files are when it is published: fresh times are not remembered.
find "$game" -type f -exec touch -d '1 hour ago' {} +
# Warm the page cache so that every side reads from memory.
cat "$game"/data/* >/dev/null

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

start=$(now)
find "$game/data" -type f -print0 | xargs -0 md5sum >/dev/null
reference=$(seconds "$start" "$(now)")

start=$(now)
"$publish" "$work/source" "$work/www" | tail -n 1
first=$(seconds "$start" "$(now)")

# One file changes in place: same size, new bytes, new time.
changed=$(find "$game/data" -type f | sort | sed -n "$((files / 2))p")
head -c "$per_file" /dev/urandom | dd of="$changed" conv=notrunc status=none

start=$(now)
"$publish" "$work/source" "$work/www" | tail -n 1
again=$(seconds "$start" "$(now)")

awk -v files="$files" -v mib="$total_mib" -v ref="$reference" -v first="$first" -v again="$again" 'BEGIN {
    printf "%d files, %d MiB\n", files, mib
    printf "md5sum over the files      %8.3f s\n", ref
    printf "first publish              %8.3f s   %6.2f x md5sum\n", first, first / ref
    printf "republish, one file changed %7.3f s   %6.3f x md5sum   %6.4f x first publish\n", again, again / ref, again / first
}'
