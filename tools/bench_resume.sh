#!/usr/bin/env bash
# A resumed download: the command-line client installs a game of one 200 MB file
# through a proxy that breaks the connection once 60 % of the bytes went through, then
# installs again straight from nginx. nginx's access log counts the bytes it sent for
# each attempt; the second attempt should send only the rest (target: at most 45 %).
#
#   tools/bench_resume.sh [native build]
#
# Needs nginx and curl.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
cmake --build "$native" --target zefo_cli zefo_publish latency_proxy -j 2 >/dev/null
zefo=$native/src/cli/zefo
size=200000000
cut=$((size * 60 / 100))

source "$root/tools/lib/nginx.sh"
nginx_workspace resume

mkdir -p "$work/source/big"
printf 'Big\n' >"$work/source/big/readme.txt"
head -c "$size" /dev/urandom >"$work/source/big/big.bin"
"$native/tools/zefo_publish" "$work/source" "$work/www" >/dev/null
nginx_start "$work" "$work/www" "access_log $work/access.log;" || exit 1

"$native/tools/latency_proxy" 0 "$NGINX_PORT" 0 "$cut" >"$work/proxy.out" &
PROXY_PID=$!
for _ in $(seq 50); do
    proxy_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/proxy.out")
    [ -n "$proxy_port" ] && break
    sleep 0.1
done
[ -n "$proxy_port" ] || { echo "the proxy did not start" >&2; exit 1; }

# Bytes nginx sent for big.bin since line $1 of its log (the combined format's tenth field).
sent_since() {
    awk -v from="$1" 'NR > from && $7 ~ /big\.bin$/ { total += $10 } END { print total + 0 }' "$work/access.log"
}
lines() { wc -l <"$work/access.log"; }

export XDG_CONFIG_HOME=$work/config
echo "first attempt through the proxy that cuts at $cut of $size bytes"
if "$zefo" install big "$work/installed" --quiet --server "127.0.0.1:$proxy_port"; then
    echo "the first attempt should have failed" >&2
    exit 1
fi
sleep 0.5  # nginx writes its log line once the connection is gone
first=$(sent_since 0)
mark=$(lines)
held=$(stat -c %s "$work/installed/big.bin.zefotmp" 2>/dev/null || echo 0)
echo "second attempt straight from nginx"
"$zefo" install big "$work/installed" --quiet --server "127.0.0.1:$NGINX_PORT"
sleep 0.5
second=$(sent_since "$mark")
cmp -s "$work/source/big/big.bin" "$work/installed/big.bin" || { echo "the resumed file differs" >&2; exit 1; }
[ ! -e "$work/installed/big.bin.zefotmp" ] || { echo "the temporary file is left" >&2; exit 1; }
printf 'first attempt: nginx sent %d bytes, %d kept in the temporary file\n' "$first" "$held"
printf 'second attempt: nginx sent %d bytes, %.1f %% of the file (target at most 45 %%)\n' "$second" \
    "$(echo "$second * 100 / $size" | bc -l)"
