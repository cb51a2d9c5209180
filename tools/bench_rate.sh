#!/usr/bin/env bash
# The speed limit's accuracy: rate_bench pulls bytes through one shared limit from
# 1 and 8 threads for 10 s at three rates, and curl --limit-rate downloads from
# nginx on 127.0.0.1 for 10 s at the same rates beside it. Target: within 5 % of
# the limit over ten seconds.
# Usage: tools/bench_rate.sh [build folder]   (default build/native). Needs nginx and curl.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
cmake --build "$build" --target rate_bench -j 2 >/dev/null
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }

source "$root/tools/lib/nginx.sh"
nginx_workspace rate-bench
mkdir -p "$work/www"
truncate -s 1100M "$work/www/big.bin"
nginx_start "$work" "$work/www" || exit 1

for rate in 64K 1M 100M; do
    for threads in 1 8; do
        "$build/tools/rate_bench" "$rate" "$threads" 10
    done
    bytes=$(curl -s -o /dev/null --limit-rate "$rate" -m 10 -w '%{size_download}' \
        "http://127.0.0.1:$NGINX_PORT/big.bin" || true)
    limit=$(echo "$rate" | sed 's/K$/*1024/; s/M$/*1048576/' | bc)
    printf 'curl --limit-rate %s, 10 s: %.0f B/s (%+.2f %%)\n' "$rate" "$(echo "$bytes / 10" | bc -l)" \
        "$(echo "($bytes / 10 / $limit - 1) * 100" | bc -l)"
done
