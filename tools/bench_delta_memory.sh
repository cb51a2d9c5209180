#!/usr/bin/env bash
# The command-line client's peak memory (maximum resident set) for updates of one big
# file patched in 256 places of 4 KiB, served by nginx on 127.0.0.1:
# - "whole": the server has no indexes, the new file is downloaded whole;
# - "changes": by its changes, the old version installed whole (chunked again now);
# - "remembered": by its changes, the old version itself updated by its changes (its
#   index remembered), so that both the remembered index and the new one are read.
#
#   tools/bench_delta_memory.sh [native build] [size MiB...]
#
# Defaults: build/native, 1024. Needs nginx and GNU time (/usr/bin/time).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
shift || true
sizes=("${@:-1024}")
cmake --build "$native" --target zefo_cli zefo_publish -j 2 >/dev/null
zefo=$native/src/cli/zefo
[ -x /usr/bin/time ] || DEBIAN_FRONTEND=noninteractive apt-get install -y time >/dev/null

source "$root/tools/lib/nginx.sh"
nginx_workspace delta_memory
mkdir -p "$work/www"
nginx_start "$work" "$work/www" || exit 1

# Overwrites 256 places of 4 KiB of the file with noise (seeded).
patch_file() {  # file, seed
    python3 - "$1" "$2" <<'PY'
import os, random, sys
path, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)
size = os.path.getsize(path)
with open(path, "r+b") as f:
    for _ in range(256):
        f.seek(rng.randrange(size - 4096))
        f.write(rng.randbytes(4096))
PY
}
publish() { "$native/tools/zefo_publish" "$work/source" "$work/www" >/dev/null; chmod -R a+rX "$work/www"; }
client() { XDG_CONFIG_HOME="$work/config" "$zefo" "$@" --quiet --server "127.0.0.1:$NGINX_PORT" >/dev/null 2>&1; }
# Updates the installed game and prints the peak resident set in KiB.
measured_update() {
    XDG_CONFIG_HOME="$work/config" /usr/bin/time -f %M -o "$work/rss" \
        "$zefo" update "$work/installed" --quiet --server "127.0.0.1:$NGINX_PORT" >/dev/null 2>&1 ||
        { echo "update failed" >&2; exit 1; }
    cmp -s "$work/source/demo/data/big.bin" "$work/installed/data/big.bin" || { echo "wrong result" >&2; exit 1; }
    cat "$work/rss"
}
# A fresh game of version 1 installed, then version 2 published.
start_over() {  # MiB
    rm -rf "$work/source" "$work/www/demo" "$work/installed" "$work/config"
    mkdir -p "$work/source/demo/data"
    printf 'Demo\n' >"$work/source/demo/game.txt"
    head -c $(($1 << 20)) /dev/urandom >"$work/source/demo/data/big.bin"
    publish
    client install demo "$work/installed"
    patch_file "$work/source/demo/data/big.bin" 1
    publish
}

printf '%8s %12s %12s %12s\n' MiB "whole KiB" "changes KiB" "remembered KiB"
for mib in "${sizes[@]}"; do
    start_over "$mib"
    rm -rf "$work/www/demo/.zefo"
    whole=$(measured_update)
    start_over "$mib"
    changes=$(measured_update)
    patch_file "$work/source/demo/data/big.bin" 2
    publish
    remembered=$(measured_update)
    printf '%8s %12s %12s %12s\n' "$mib" "$whole" "$changes" "$remembered"
done
