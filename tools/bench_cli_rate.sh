#!/usr/bin/env bash
# The command-line client's speed limit: zefo install --limit-rate downloads a game of
# one file of ten seconds' worth of the limit from nginx on 127.0.0.1, and curl
# --limit-rate downloads the same file beside it; each rate is the file's size over the
# whole run's time (the client's lists and checks included). Measured at the client:
# nginx's log would count what waits in the loopback's socket buffers too.
# Target: within 5 % of the limit over ten seconds.
# Usage: tools/bench_cli_rate.sh [build folder]   (default build/native). Needs nginx and curl.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
cmake --build "$build" --target zefo_cli zefo_publish -j 2 >/dev/null
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }
zefo=$build/src/cli/zefo
rates="64K 1M 10M"
bytes_of() { echo "$1" | sed 's/K$/*1024/; s/M$/*1048576/' | bc; }

source "$root/tools/lib/nginx.sh"
nginx_workspace cli-rate
for rate in $rates; do
    mkdir -p "$work/source/r$rate"
    head -c "$(($(bytes_of "$rate") * 10))" /dev/urandom >"$work/source/r$rate/big.bin"
done
"$build/tools/zefo_publish" "$work/source" "$work/www" >/dev/null
nginx_start "$work" "$work/www" || exit 1
export XDG_CONFIG_HOME=$work/config

report() {
    printf '%-26s %4s: %.0f B/s over %.2f s (%+.2f %%)\n' "$1" "$2" "$(echo "$3 / $4" | bc -l)" "$4" \
        "$(echo "($3 / $4 / $(bytes_of "$2") - 1) * 100" | bc -l)"
}

for rate in $rates; do
    size=$(($(bytes_of "$rate") * 10))
    rm -rf "$work/installed"
    start=$(date +%s.%N)
    "$zefo" install "r$rate" "$work/installed" --quiet --limit-rate "$rate" --server "127.0.0.1:$NGINX_PORT"
    took=$(echo "$(date +%s.%N) - $start" | bc -l)
    cmp -s "$work/source/r$rate/big.bin" "$work/installed/big.bin" || { echo "the file differs" >&2; exit 1; }
    report "zefo install --limit-rate" "$rate" "$size" "$took"
    took=$(curl -s -o /dev/null --limit-rate "$rate" -w '%{time_total}' "http://127.0.0.1:$NGINX_PORT/r$rate/big.bin")
    report "curl --limit-rate" "$rate" "$size" "$took"
done
