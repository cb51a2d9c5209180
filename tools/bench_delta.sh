#!/usr/bin/env bash
# Updates of one big file by its changes: the bytes fetched and the time taken by the
# command-line client (natively, and zefo.exe under Wine when the Windows build is
# there) against zsync and casync on the same two versions, all served by one nginx on
# 127.0.0.1 whose access log counts the bytes, directly and through a proxy that adds a
# round trip. The cases: bytes overwritten here and there, bytes inserted, data
# appended, the file renamed, a file entirely new (no old copy: fetched whole).
#
#   tools/bench_delta.sh [native build] [win64 build] [size MiB] [round trip ms] [cases]
#
# Defaults: build/native, build/win64, 64 MiB, 50 ms, the cases "scattered inserted
# appended renamed new". One more case, "patch": 1 MiB overwritten in 256 places of
# 4 KiB (a patch of a big archive), e.g. tools/bench_delta.sh build/native build/win64
# 1024 50 patch. Installs zsync and casync with
# apt-get when they are missing; needs nginx, python3, and wine for the Windows
# figures. zsync and casync are given the old file as their seed, also for the renamed
# file; zefo finds what it reuses itself (the old copy at the file's path, or another
# installed file that its fingerprint cache vouches for).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
win64=${2:-$root/build/win64}
mib=${3:-64}
rtt=${4:-50}
cases=${5:-scattered inserted appended renamed new}
cmake --build "$native" --target zefo_cli zefo_publish latency_proxy -j 2 >/dev/null
zefo=$native/src/cli/zefo
zefo_exe=$win64/src/cli/zefo.exe
[ -f "$zefo_exe" ] && command -v wine >/dev/null || zefo_exe=""
if ! command -v zsync >/dev/null || ! command -v casync >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y zsync casync >/dev/null
fi

source "$root/tools/lib/nginx.sh"
source "$root/tools/lib/many_files.sh"
nginx_workspace delta

# The versions: v1 and, per case, the new file (seeded, so every run sees the same bytes).
python3 - "$work" "$mib" "$cases" <<'PY'
import os, random, sys
work, mib, cases = sys.argv[1], int(sys.argv[2]), sys.argv[3].split()
rng = random.Random(7)
def noise(n): return b"".join(rng.randbytes(min(n - at, 1 << 24)) for at in range(0, n, 1 << 24))
v1 = noise(mib << 20)
os.makedirs(f"{work}/versions", exist_ok=True)
def save(name, data):
    if name != "v1" and name not in cases:
        return
    with open(f"{work}/versions/{name}", "wb") as f: f.write(data)
save("v1", v1)
scattered = bytearray(v1)
for _ in range(20):
    at = rng.randrange(len(v1) - 200)
    scattered[at:at + 100] = noise(100)
save("scattered", bytes(scattered))
inserted = v1
for at in sorted(rng.sample(range(len(v1)), 3), reverse=True):
    inserted = inserted[:at] + noise(10000) + inserted[at:]
save("inserted", inserted)
save("appended", v1 + noise(1 << 20))
save("renamed", v1)
if "new" in cases:
    save("new", noise(mib << 20))
if "patch" in cases:
    patch = bytearray(v1)
    for _ in range(256):
        at = rng.randrange(len(v1) - 4096)
        patch[at:at + 4096] = noise(4096)
    save("patch", bytes(patch))
PY
size_of() { stat -c %s "$1"; }

nginx_start "$work" "$work/www" "access_log $work/access.log;" || exit 1
latency_proxy_start "$work" "$native" "$NGINX_PORT" "$rtt" || exit 1
served() { awk -v p="$1" '$7 ~ "^"p {n += $10} END {print n + 0}' "$work/access.log"; }
# The file's path in the game for a case: the renamed one and the new one have a path
# of their own.
target_of() { case $1 in renamed) echo data/moved.bin ;; new) echo data/new.bin ;; *) echo data/big.bin ;; esac; }

# A fresh game folder for zefo (measure_zefo publishes it); the zsync and casync files.
publish_case() {  # case
    rm -rf "$work/source" "$work/www/demo"
    mkdir -p "$work/source/demo/data"
    printf 'Demo\n' >"$work/source/demo/game.txt"
    mkdir -p "$work/www/other/$1"
    cp "$work/versions/$1" "$work/www/other/$1/file"
    (cd "$work/www/other/$1" && zsyncmake -u file -o file.zsync file >/dev/null 2>&1)
    casync make --store="$work/www/other/$1/store" "$work/www/other/$1/file.caibx" "$work/www/other/$1/file" \
        >/dev/null 2>&1
    chmod -R a+rX "$work/www"
}
republish() { "$native/tools/zefo_publish" "$work/source" "$work/www" >/dev/null; chmod -R a+rX "$work/www"; }

measure_zefo() {  # case, port, runner (native or wine)
    local case=$1 port=$2 runner=$3 dir="$work/installed" client=("$zefo") where
    where=$dir
    if [ "$runner" = wine ]; then client=(wine "$zefo_exe"); where="Z:$dir"; fi
    rm -rf "$dir" "$work/config"
    # The old version installed, then the new one published.
    cp "$work/versions/v1" "$work/source/demo/data/big.bin"
    [ "$case" = renamed ] && rm -f "$work/source/demo/$(target_of "$case")"
    [ "$case" = new ] && rm -f "$work/source/demo/data/new.bin"
    republish
    XDG_CONFIG_HOME="$work/config" "${client[@]}" install demo "$where" --quiet --server "127.0.0.1:$port" \
        >/dev/null 2>&1
    [ "$case" = renamed ] && rm "$work/source/demo/data/big.bin"
    cp "$work/versions/$case" "$work/source/demo/$(target_of "$case")"
    republish
    : >"$work/access.log"
    XDG_CONFIG_HOME="$work/config" timed "${client[@]}" update "$where" --quiet --server "127.0.0.1:$port"
    cmp -s "$work/versions/$case" "$dir/$(target_of "$case")" || { echo "zefo: wrong result ($case)" >&2; exit 1; }
    bytes=$(($(served /demo/data/) + $(served /demo/.zefo/)))
}
measure_zsync() {  # case, port
    rm -f "$work/out" "$work/out.part"
    local seed=(-i "$work/versions/v1")
    [ "$1" = new ] && seed=()
    : >"$work/access.log"
    # zsync keeps a part file in the current folder.
    cd "$work"
    timed zsync -q "${seed[@]}" -o "$work/out" "http://127.0.0.1:$2/other/$1/file.zsync"
    cd "$root"
    cmp -s "$work/versions/$1" "$work/out" || { echo "zsync: wrong result ($1)" >&2; exit 1; }
    bytes=$(served /other/)
}
measure_casync() {  # case, port
    rm -rf "$work/out"
    local seed=(--seed="$work/versions/v1")
    [ "$1" = new ] && seed=()
    : >"$work/access.log"
    timed casync extract "${seed[@]}" --store="http://127.0.0.1:$2/other/$1/store" \
        "http://127.0.0.1:$2/other/$1/file.caibx" "$work/out"
    cmp -s "$work/versions/$1" "$work/out" || { echo "casync: wrong result ($1)" >&2; exit 1; }
    bytes=$(served /other/)
}

printf '%s MiB file; bytes fetched (file, indexes and metadata) and seconds at 0 ms and %s ms round trip\n' "$mib" "$rtt"
printf '%-10s %-14s %12s %9s %9s\n' case tool bytes "0 ms" "$rtt ms"
for case in $cases; do
    publish_case "$case"
    tools=(zefo zsync casync)
    [ -n "$zefo_exe" ] && tools=(zefo zefo.exe zsync casync)
    for tool in "${tools[@]}"; do
        case $tool in
            zefo) run() { measure_zefo "$case" "$1" native; } ;;
            zefo.exe) run() { measure_zefo "$case" "$1" wine; } ;;
            zsync) run() { measure_zsync "$case" "$1"; } ;;
            casync) run() { measure_casync "$case" "$1"; } ;;
        esac
        run "$NGINX_PORT"
        fast=$elapsed direct_bytes=$bytes
        run "$PROXY_PORT"
        printf '%-10s %-14s %12s %9.2f %9.2f\n' "$case" "$tool" "$direct_bytes" "$fast" "$elapsed"
    done
done
