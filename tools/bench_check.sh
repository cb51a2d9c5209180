#!/usr/bin/env bash
# The check of an installed game: a game of FILES files (default 5,000) of SIZE_KB each
# (default 420 KB: 2.1 GB in all) is installed by the command-line client from nginx
# on 127.0.0.1; then `update --dry-run --full` reads every file (the first start, with
# nothing remembered) against md5sum over the same files, and `update --dry-run` (the
# second start, on the remembered fingerprints) to its count line.
#
#   tools/bench_check.sh [native build] [files] [size KB] [win64 build]
#
# With a Windows build (and wine), zefo.exe under Wine makes the same two starts.
# Needs nginx and curl; about three times the game's size in free space.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build/native}
files=${2:-5000}
size_kb=${3:-420}
win64=${4:-}
cmake --build "$native" --target zefo_cli zefo_publish -j 2 >/dev/null
zefo=$native/src/cli/zefo

source "$root/tools/lib/nginx.sh"
nginx_workspace check

game=$work/source/check
mkdir -p "$game"
printf 'Check\n' >"$game/readme.txt"
echo "publishing a game of $files files of $size_kb KB"
for ((i = 0; i < files; i++)); do
    folder=$game/data/folder$((i % 50))
    [ -d "$folder" ] || mkdir -p "$folder"
    head -c $((size_kb * 1024)) /dev/urandom >"$folder/file$i.pak"
done
"$native/tools/zefo_publish" "$work/source" "$work/www" >/dev/null
nginx_start "$work" "$work/www" || exit 1
export XDG_CONFIG_HOME=$work/config
server=127.0.0.1:$NGINX_PORT
"$zefo" install check "$work/installed" --quiet --server "$server"
total=$(du -sb "$work/installed" | cut -f1)
printf 'installed: %d files, %.2f GB\n' "$((files + 2))" "$(echo "$total / 1000000000" | bc -l)"

now() { date +%s.%N; }
timed() {
    local t0
    t0=$(now)
    "$@" >/dev/null
    elapsed=$(echo "$(now) - $t0" | bc -l)
}
# A fingerprint is remembered only for a file older than its reading by 2 s: files
# written in the same moment as they are read might change again unseen.
sleep 3
# Warm the page cache, then both sides read from memory.
(cd "$work/installed" && find . -type f -print0 | xargs -0 cat >/dev/null)
timed sh -c "cd '$work/installed' && find . -type f -print0 | xargs -0 md5sum"
md5sum_time=$elapsed
timed "$zefo" update "$work/installed" --dry-run --full --server "$server"
first=$elapsed
timed "$zefo" update "$work/installed" --dry-run --server "$server"
second=$elapsed
printf 'md5sum over every file %.3f s; first start (every file read) %.3f s: ratio %.2f (target at most 1.1)\n' \
    "$md5sum_time" "$first" "$(echo "$first / $md5sum_time" | bc -l)"
printf 'second start on remembered fingerprints: %.3f s (target under 1 s)\n' "$second"
if [ -n "$win64" ] && [ -f "$win64/src/cli/zefo.exe" ]; then
    zefo_exe=$win64/src/cli/zefo.exe
    target="Z:$work/installed"
    wine "$zefo_exe" --version >/dev/null 2>&1  # Wine's own start-up is not the program's
    timed wine "$zefo_exe" update "$target" --dry-run --full --server "$server"
    first_exe=$elapsed
    timed wine "$zefo_exe" update "$target" --dry-run --server "$server"
    printf 'zefo.exe under Wine: first start %.3f s (ratio to md5sum %.2f), second start %.3f s\n' \
        "$first_exe" "$(echo "$first_exe / $md5sum_time" | bc -l)" "$elapsed"
fi
