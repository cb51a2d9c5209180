#!/usr/bin/env bash
# What an address that never answers costs a connect (connect_bench): a name whose
# first address, ::1, has a full listening queue and whose second, 127.0.0.1,
# answers, against a name with only 127.0.0.1; curl's connect time beside it. The
# names come from a hosts file bound over /etc/hosts in a user and mount namespace.
# Usage: tools/bench_connect.sh [build folder] [rounds]   (default build/native, 11)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
rounds=${2:-11}
cmake --build "$build" --target connect_bench -j 2 >/dev/null
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
printf '::1 dual.zefo.test\n127.0.0.1 dual.zefo.test\n127.0.0.1 live.zefo.test\n' >"$hosts"
unshare -rm /bin/sh -c 'mount --bind "$0" /etc/hosts && exec "$1" "$2"' "$hosts" "$build/tools/connect_bench" "$rounds"
