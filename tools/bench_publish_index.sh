#!/usr/bin/env bash
# The cost of chunk indexes when publishing: zefo_publish on a game of one big file with
# --no-indexes and with its indexes (chunking, SHA-256 of every chunk, the block records),
# then a republish that finds the indexes sound and keeps them. Each publish goes into a
# fresh web root; md5sum over the file is the reference. Each figure is the median of
# three runs, the two kinds of publish taking turns, so that a shared machine's load
# falls on both alike.
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

median() { sort -n | sed -n 2p; }
timed() {  # command...; prints the seconds it took and the processor seconds (user + system)
    local TIMEFORMAT='%R %U %S' took
    took=$({ time "$@" >/dev/null; } 2>&1)
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$took"
}

walls=() cpus=()
for run in 1 2 3; do
    for kind in md5 plain indexed; do
        rm -rf "$work/www" "$work/cache"
        case $kind in
            md5) read -r wall cpu < <(timed md5sum "$work/source/bench/big.bin") ;;
            plain) read -r wall cpu < <(timed "$publish" --no-indexes --cache "$work/cache" "$work/source" "$work/www") ;;
            indexed) read -r wall cpu < <(timed "$publish" --cache "$work/cache" "$work/source" "$work/www") ;;
        esac
        walls+=("$kind $wall") cpus+=("$kind $cpu")
    done
done
"$publish" --cache "$work/cache" "$work/source" "$work/www" | tail -n 1
for run in 1 2 3; do
    read -r wall cpu < <(timed "$publish" --cache "$work/cache" "$work/source" "$work/www")
    walls+=("again $wall") cpus+=("again $cpu")
done
pick() {  # array name, kind: the median of that kind
    local -n list=$1
    printf '%s\n' "${list[@]}" | awk -v kind="$2" '$1 == kind { print $2 }' | median
}
echo "runs (kind, wall seconds): ${walls[*]}"

zci=$(stat -c %s "$work"/www/bench/.zefo/*.zci)
zcb=$(stat -c %s "$work"/www/bench/.zefo/*.zcb)
echo "one file of $mib MiB; medians of three runs     wall        processor (user + system)"
for kind in md5 plain indexed again; do
    awk -v kind="$kind" -v wall="$(pick walls "$kind")" -v cpu="$(pick cpus "$kind")" \
        -v wall0="$(pick walls plain)" -v cpu0="$(pick cpus plain)" 'BEGIN {
        label["md5"] = "md5sum"; label["plain"] = "first publish, --no-indexes"
        label["indexed"] = "first publish with indexes"; label["again"] = "republish, indexes kept"
        printf "%-40s %8.3f s   %8.3f s", label[kind], wall, cpu
        if (kind == "indexed")
            printf "   indexes: +%.3f s wall (%+.0f %%), +%.3f s processor", wall - wall0, 100 * (wall - wall0) / wall0, cpu - cpu0
        printf "\n"
    }'
done
awk -v mib="$mib" -v zci="$zci" -v zcb="$zcb" \
    'BEGIN { printf ".zci %d bytes, .zcb %d bytes (%.3f %% of the file)\n", zci, zcb, 100 * (zci + zcb) / (mib * 1048576) }'
