#!/usr/bin/env bash
# Every benchmark of the project, one after another, each with its defaults; each
# one's output goes to the terminal and to OUT/<name>.log, and the machine it ran on
# to OUT/machine.txt. docs/performance.md explains the figures.
#
#   tools/bench_all.sh [native build] [win64 build] [out folder]
#
# Defaults: build/native, build/win64 (skipped when it holds no zefo.exe), build/bench.
# Takes about 22 minutes and 7 GB of free space in $TMPDIR; a quiet machine gives
# fair figures. Needs nginx, curl, openssl, bc, and wine and xvfb for the Windows ones.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
win64=${2:-$root/build/win64}
out=${3:-$root/build/bench}
mkdir -p "$out"
[ -f "$win64/src/cli/zefo.exe" ] || win64=""

{
    date -u '+%Y-%m-%d %H:%M UTC'
    grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'
    echo "$(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB memory, load $(cut -d' ' -f1-3 /proc/loadavg)"
    uname -sr
    grep -E '^CMAKE_BUILD_TYPE' "$native/CMakeCache.txt"
    [ -z "$win64" ] || wine --version 2>/dev/null
} | tee "$out/machine.txt"

failed=0
run() {  # name, command...
    local name=$1
    shift
    echo "== $name: $*"
    if ! "$@" 2>&1 | tee "$out/$name.log"; then
        echo "== $name failed" >&2
        failed=1
    fi
}

run md5 "$root/tools/bench_md5.sh" "$native"
run sha256 "$root/tools/bench_sha256.sh" "$native" ${win64:+"$win64"}
run download "$root/tools/bench_download.sh" "$native"
run resume "$root/tools/bench_resume.sh" "$native"
run many_files "$root/tools/bench_many_files.sh" "$native" "${win64:--}"
run check "$root/tools/bench_check.sh" "$native" 5000 420 ${win64:+"$win64"}
run publish "$root/tools/bench_publish.sh" "$native"
run publish_index "$root/tools/bench_publish_index.sh" "$native"
run delta "$root/tools/bench_delta.sh" "$native" "${win64:--}"
run tls "$root/tools/bench_tls.sh" "$native" ${win64:+"$win64"}
run connect "$root/tools/bench_connect.sh" "$native"
run rate "$root/tools/bench_rate.sh" "$native"
run proxy "$root/tools/bench_proxy.sh" "$native"
run files_window "$root/tools/bench_files_window.sh" "${win64:--}" "$native"
[ -z "$win64" ] || run update_window "$root/tools/bench_update_window.sh" "$win64" "$native"
exit $failed
