#!/usr/bin/env bash
# SHA-256 speed: the program's Sha256 (OpenSSL natively, CNG under Wine when the
# Windows build is there) against sha256sum on a 1 GiB file, alone and beside
# MD5 in one pass as downloads will run it.
# Usage: tools/bench_sha256.sh [native build] [Windows build]   (defaults
# build/native and build/win64; an optimised build type gives fair figures)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
windows=${2:-$root/build/win64}
cmake --build "$native" --target sha256_bench -j 2 >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-sha256-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
file=$work/one-gib.bin
echo "creating a 1 GiB file in $work"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null  # warm the page cache

now() { date +%s.%N; }
best=""
for _ in 1 2 3; do
    t0=$(now)
    expected=$(sha256sum "$file" | cut -c1-64)
    t1=$(now)
    best=$(awk -v a="$t0" -v b="$t1" -v best="$best" 'BEGIN { t = b - a; print (best == "" || t < best) ? t : best }')
done
printf 'sha256sum %.3f s\n' "$best"

report() {  # label, bench output
    local label=$1 output=$2
    [ "$(echo "$output" | awk '/^digest/ {print $2}')" = "$expected" ] || { echo "$label: wrong digest" >&2; exit 1; }
    echo "$output" | awk -v label="$label" -v reference="$best" '
        /^sha256 / { printf "%s sha256:      %.3f s, %s MB/s, %.2f x the time of sha256sum\n", label, $2, $4, $2 / reference }
        /^sha256\+md5/ { printf "%s sha256+md5:  %.3f s, %s MB/s, %.2f x the time of sha256sum\n", label, $2, $4, $2 / reference }'
}
report native "$("$native/tools/sha256_bench" "$file")"
if [ -f "$windows/build.ninja" ] && command -v wine >/dev/null; then
    cmake --build "$windows" --target sha256_bench -j 2 >/dev/null
    report wine "$("$root/cmake/wine-run.sh" "$windows/tools/sha256_bench.exe" "Z:$file" | tr -d '\r')"
fi
