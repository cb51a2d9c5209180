#!/usr/bin/env bash
# Fingerprint speed: FileFingerprint against md5sum on a 1 GiB file.
# Usage: tools/bench_md5.sh [build folder]   (default build/native; the md5_bench
# target is built there when missing; an optimised build type gives fair figures)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
bench=$build/tools/md5_bench
if [ ! -x "$bench" ]; then
    cmake --build "$build" --target md5_bench -j 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-md5-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
file=$work/one-gib.bin
echo "creating a 1 GiB file in $work"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$file"
# Warm the page cache so both sides read from memory.
cat "$file" >/dev/null
"$bench" "$file"
