#!/usr/bin/env bash
# The Windows program's update of a game of many small files, as a user sees it:
# Update.exe under Wine (in a Wine desktop on an Xvfb display of its own) starts in
# an installed copy of the game that has only data/game.dat, so every other listed
# file is missing; the script waits for the count line, clicks Update and waits for
# the success line, then checks every file against the server's. From nginx on
# 127.0.0.1 directly, and through a proxy that adds a round-trip time; against curl
# fetching the same files one after another (directly) and eight at a time (through
# the proxy). For comparison, zefo.exe installs the game under Wine without a window,
# and plain_fetch.exe, the least a Windows program does to fetch the same files one
# after another (one connection; create, write, close), shows what Wine itself costs.
#
#   tools/bench_update_window.sh [win64 build] [native build] [files] [round trip ms]
#
# Defaults: build/win64 (Update.exe, zefo_driver.exe and zefo.exe are built there),
# build/native (zefo_publish, latency_proxy), 2000 files, 50 ms. Needs nginx, curl,
# xvfb and wine.
# Every wait ends after at most 600 s.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
win64=${1:-$root/build/win64}
native=${2:-$root/build/native}
files=${3:-2000}
rtt=${4:-50}
cmake --build "$native" --target zefo_publish latency_proxy -j 2 >/dev/null
cmake --build "$win64" --target zefo zefo_driver zefo_cli plain_fetch -j 2 >/dev/null
program=$win64/src/app/Update.exe
zefo_exe=$win64/src/cli/zefo.exe
driver=$win64/tests/e2e/zefo_driver.exe
plain_fetch=$win64/tools/plain_fetch.exe
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 1; }
command -v wine >/dev/null || { echo "wine is missing" >&2; exit 1; }
wait_ms=600000

source "$root/tools/lib/nginx.sh"
source "$root/tools/lib/many_files.sh"
source "$root/tools/lib/xvfb.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-update-window.XXXXXX")
chmod 755 "$work"
PROXY_PID="" XVFB_PID="" program_pid="" appdata="" wine_started=""
stop() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    [ -n "$wine_started" ] && { wineserver -k >/dev/null 2>&1 || true; }
    # The prefix may be someone else's: their settings come back.
    if [ -n "$appdata" ]; then
        rm -rf "$appdata/Zefo"
        [ -d "$work/saved-settings" ] && mv "$work/saved-settings" "$appdata/Zefo"
    fi
    [ -n "$PROXY_PID" ] && kill "$PROXY_PID" 2>/dev/null
    nginx_stop "$work"
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT TERM
fail() { echo "FAILED: $*" >&2; exit 1; }

many_files_publish "$work" "$native" "$files"
(cd "$work/www/many" && many_files_paths "$work" | xargs md5sum) >"$work/sums"
nginx_start "$work" "$work/www" || exit 1
latency_proxy_start "$work" "$native" "$NGINX_PORT" "$rtt" || exit 1

xvfb_start || exit 1
export DISPLAY=$XVFB_DISPLAY
export WINEPREFIX=${WINEPREFIX:-$root/build/bench-wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_started=1
timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot"
# A wineserver that stays makes each driver command start quickly.
wineserver -p >/dev/null 2>&1 || true
# Wine's own APPDATA in this prefix, where the program keeps its settings.
timeout 60 wine cmd /c echo %APPDATA% >"$work/appdata.out" 2>/dev/null || true
appdata=$(winepath -u "$(tr -d '\r\n' <"$work/appdata.out")" 2>/dev/null </dev/null)
[ -d "$appdata" ] || fail "no APPDATA folder in the Wine prefix ($appdata)"
[ -d "$appdata/Zefo" ] && mv "$appdata/Zefo" "$work/saved-settings"
settings=$appdata/Zefo/Updater/settings.ini

# Output goes through a file: Wine may start its desktop process from here, which
# keeps a pipe open long after the command ended.
drive() {
    local rc=0
    timeout $((wait_ms / 1000 + 60)) wine "$driver" --desktop zefo-bench "$@" >"$work/drive.out" 2>&1 || rc=$?
    tr -d '\r' <"$work/drive.out"
    return $rc
}
seconds() { echo "$(now) - $1" | bc -l; }

# One update of the whole game by the program with the server at port $1 and its
# connections setting $2 (empty: none, the program's default). Sets started (start
# to window), counted (start to count line), updated (Update clicked to success) and
# overhead (one driver command).
update_run() {
    local port=$1 connections=$2 game=$work/game start
    rm -rf "$game"
    mkdir -p "$game/data" "$(dirname "$settings")"
    cp "$work/www/many/data/game.dat" "$game/data/game.dat"
    cp "$program" "$game/Update.exe"
    printf '[Program]\r\nserver=127.0.0.1:%s\r\n' "$port" >"$settings"
    [ -n "$connections" ] && printf 'connections=%s\r\n' "$connections" >>"$settings"

    sync
    start=$(now)
    (cd "$game" && exec wine explorer /desktop=zefo-bench,1024x768 "$(winepath -w "$game/Update.exe")") \
        >/dev/null 2>&1 &
    program_pid=$!
    # The desktop exists a moment after the start; the driver needs it.
    for _ in $(seq 300); do drive windows >/dev/null 2>&1 && break; sleep 0.2; done
    drive wait-window "Zefo Updater" $wait_ms >/dev/null || fail "the program's window did not appear"
    started=$(seconds "$start")
    drive wait-line "Zefo Updater" 5 "updated file(s) available" $wait_ms >/dev/null || {
        drive lines "Zefo Updater" 5; fail "no count line"; }
    counted=$(seconds "$start")
    drive lines "Zefo Updater" 5 | grep -qx "$files updated file(s) available." || {
        drive lines "Zefo Updater" 5; fail "not every file is to be updated"; }

    # What one driver command costs, beyond the program: a share of each figure.
    start=$(now)
    drive enabled "Zefo Updater" 2 >/dev/null || fail "reading the Update button"
    overhead=$(seconds "$start")

    drive click "Zefo Updater" 2 >/dev/null || fail "Update"
    # The button's handler has run when the click returns: the update starts here.
    start=$(now)
    drive wait-last-line "Zefo Updater" 5 "The game has been updated successfully ." $wait_ms >/dev/null || {
        drive lines "Zefo Updater" 5 | tail -n 5; fail "no success line"; }
    updated=$(seconds "$start")
    (cd "$game" && md5sum -c --quiet "$work/sums") >"$work/check.out" 2>&1 || {
        head -n 5 "$work/check.out"; fail "the files on disk differ from the server's"; }

    drive close "Zefo Updater" >/dev/null || fail "closing the window"
    drive wait-gone "Zefo Updater" 60000 >/dev/null || fail "the window stayed"
    for _ in $(seq 300); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$program_pid" 2>/dev/null || true
    program_pid=""
}
report() {  # label, curl time, curl label[, plain_fetch time]
    printf '  Update.exe %s: start to window %.3f s, to count line %.3f s; Update to success %.3f s: ratio to %s %.2f\n' \
        "$1" "$started" "$counted" "$updated" "$3" "$(ratio "$updated" "$2")"
    [ -n "${4:-}" ] && printf '    ratio to plain_fetch.exe under Wine %.2f\n' "$(ratio "$updated" "$4")"
    printf '    (one driver command under Wine takes %.3f s)\n' "$overhead"
}

# Other work on the machine moves single figures a lot: at 0 ms each figure is the
# median of three rounds (for the program, the round with the median update time).
rounds=3
median() { sort -n | sed -n "$(((rounds + 1) / 2))p"; }
median_update() {  # port, connections
    local line
    for ((round = 0; round < rounds; round++)); do
        update_run "$1" "$2"
        echo "$updated $started $counted $overhead" >>"$work/rounds"
    done
    line=$(median <"$work/rounds")
    rm -f "$work/rounds"
    read -r updated started counted overhead <<<"$line"
}
median_timed() {  # command...
    for ((round = 0; round < rounds; round++)); do
        "$@"
        echo "$elapsed"
    done | median
}
# plain_fetch.exe's own time (its start under Wine is not counted, as the program's
# start is not).
plain_fetch_run() {  # port
    rm -rf "$work/plain"
    mkdir -p "$work/plain"
    elapsed=$(timeout $((wait_ms / 1000)) wine "$plain_fetch" "$1" many "Z:$work/paths" "Z:$work/plain" 2>/dev/null |
        tr -d '\r') || fail "plain_fetch.exe"
    [ -n "$elapsed" ] || fail "plain_fetch.exe printed no time"
}
zefo_exe_install() {  # port
    rm -rf "$work/installed"
    timed timeout $((wait_ms / 1000)) wine "$zefo_exe" install many "Z:$work/installed" --quiet \
        --server "127.0.0.1:$1" --connections 8
}

timed curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/many/index.html"
printf 'curl fetches the file list in %.3f s\n' "$elapsed"

echo "at 0 ms round trip (median of $rounds rounds):"
curl_sequential=$(median_timed run_curl "$work" "$NGINX_PORT")
printf '  curl one after another %.3f s\n' "$curl_sequential"
many_files_paths "$work" >"$work/paths"
plain_fetch_time=$(median_timed plain_fetch_run "$NGINX_PORT")
(cd "$work/plain" && md5sum -c --quiet "$work/sums") >/dev/null 2>&1 || fail "plain_fetch.exe's files differ"
printf '  plain_fetch.exe under Wine, one after another %.3f s: ratio to curl one after another %.2f\n' \
    "$plain_fetch_time" "$(ratio "$plain_fetch_time" "$curl_sequential")"
median_update "$NGINX_PORT" ""
report "(8 connections)" "$curl_sequential" "curl one after another" "$plain_fetch_time"
median_update "$NGINX_PORT" 1
report "(connections=1)" "$curl_sequential" "curl one after another" "$plain_fetch_time"
# The same engine under Wine without a window: what Wine costs apart from the window.
zefo_exe_time=$(median_timed zefo_exe_install "$NGINX_PORT")
printf '  zefo.exe install under Wine, no window (8 connections, its start under Wine included) %.3f s: ratio to curl one after another %.2f, to plain_fetch.exe %.2f\n' \
    "$zefo_exe_time" "$(ratio "$zefo_exe_time" "$curl_sequential")" "$(ratio "$zefo_exe_time" "$plain_fetch_time")"

echo "at $rtt ms round trip (one round):"
run_curl "$work" "$PROXY_PORT" --parallel --parallel-max 8
curl_parallel=$elapsed
printf '  curl --parallel-max 8 %.3f s\n' "$curl_parallel"
update_run "$PROXY_PORT" ""
report "(8 connections)" "$curl_parallel" "curl parallel"
