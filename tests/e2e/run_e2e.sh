#!/usr/bin/env bash
# End-to-end tests of the real Windows program under Wine and an X server.
#
#   run_e2e.sh updater|installer|crash|https PROGRAM DRIVER FAULT HOST_TOOLS OUT CLIENT
#
# PROGRAM is Update.exe, DRIVER zefo_driver.exe, FAULT zefo_fault.exe, HOST_TOOLS
# the native build's tools folder (zefo_publish, zefo_serve), OUT a folder for
# screenshots, CLIENT the command-line client zefo.exe. WINEPREFIX and DISPLAY come
# from the environment (the test command sets both). The program talks only to
# servers on 127.0.0.1. Every wait is bounded.
# The https case runs nginx with a test authority (tests/net/tls_fixture.sh) and
# trusts that authority in the prefix while it runs. The updater case goes through
# tinyproxy, set as the system's proxy in the prefix's registry while it runs.
set -uo pipefail

case_name=$1 program=$2 driver=$3 fault=$4 tools=$5 out=$6 client=${7:-}
export WINEDEBUG=-all
mkdir -p "$out"

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-e2e.XXXXXX")
server_pid="" program_pid="" fixture="" trusted="" proxied=""
# end_process and start_tinyproxy.
# shellcheck source=../common/tinyproxy.sh
. "$here/../common/tinyproxy.sh"
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    [ -n "$proxied" ] && wine regedit /S "$(winepath -w "$work/no-proxy.reg")" >/dev/null 2>&1
    end_process "$work/tinyproxy.pid"
    [ -n "$trusted" ] && wine "$driver" distrust "$trusted" >/dev/null 2>&1
    [ -n "$fixture" ] && "$here/../net/tls_fixture.sh" stop "$fixture" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM

fail() {
    echo "FAILED: $*" >&2
    shot "failure-$case_name"
    exit 1
}
check_eq() {  # what, expected, actual
    [ "$2" == "$3" ] || fail "$1: expected [$2], got [$3]"
    echo "ok: $1"
}
desktop=()  # the driver looks into the program's Wine desktop
# Output goes through a file: Wine may start its desktop process from here, which
# keeps a pipe open long after the command ended.
drive() {
    wine "$driver" "${desktop[@]}" "$@" >"$work/drive.out" 2>&1
    local rc=$?
    tr -d '\r' <"$work/drive.out"
    return $rc
}
shot() { import -window root "$out/$1.png" 2>/dev/null && echo "screenshot: $out/$1.png"; }
bytes_of() { od -An -c "$1" | tr -s ' \n' ' '; }

# Wine's own APPDATA in this prefix, where the program keeps its settings.
wine cmd /c echo %APPDATA% >"$work/appdata.out" 2>/dev/null
appdata=$(winepath -u "$(tr -d '\r\n' <"$work/appdata.out")" 2>/dev/null </dev/null)
[ -d "$appdata" ] || fail "no APPDATA folder in the Wine prefix ($appdata)"
settings="$appdata/Zefo/Updater/settings.ini"
rm -rf "$appdata/Zefo"

# Publishes one game, "Demo Game" in folder demo, into the web root $1.
publish_demo() {
    local src="$work/src/demo"
    mkdir -p "$src/data" "$src/maps"
    printf 'Demo Game\n' >"$src/game.txt"
    printf 'Readme, second edition\r\n' >"$src/readme.txt"
    printf '[demo]\r\nlevel=2\r\n' >"$src/data/config.ini"
    printf 'map one, new' >"$src/maps/level 1.map"
    # A newer updater: the same program with a few bytes appended.
    cp "$program" "$src/Update.exe"
    printf 'ZEFO-NEWER-UPDATER' >>"$src/Update.exe"
    # With $big: a file big enough for an index (the installed copy is $big), edited.
    if [ -n "${big:-}" ]; then
        cp "$big" "$src/data/big.bin"
        printf 'ZEFO-EDITED' | dd of="$src/data/big.bin" bs=1 seek=1500000 conv=notrunc status=none
    fi
    "$tools/zefo_publish" "$work/src" "$1" >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "publish"; }
}

# Publishes the demo game and serves it on a free port.
publish_and_serve() {
    publish_demo "$work/root"
    "$tools/zefo_serve" --root "$work/root" --port 0 >"$work/serve.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        port=$(grep -o -m1 '127\.0\.0\.1:[0-9]*' "$work/serve.log" | head -n1 | cut -d: -f2)
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || fail "the server did not start"
    server="127.0.0.1:$port"
    mkdir -p "$(dirname "$settings")"
    printf '[Program]\r\nserver=%s\r\n' "$server" >"$settings"
}

# Starts the program in folder $1 on a Wine desktop (windows get frames there).
start_program() {
    desktop=(--desktop zefo)
    (cd "$1" && exec wine explorer /desktop=zefo,1024x768 "$(winepath -w "$1/Update.exe")") >/dev/null 2>&1 &
    program_pid=$!
    for _ in $(seq 100); do  # the desktop exists a moment after the start
        drive windows >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    fail "the program's desktop did not appear"
}

# Starts tinyproxy and makes it the system's proxy as the Internet Options store it:
# the values of "Internet Settings", and the binary DefaultConnectionSettings (format
# 0x46, a counter, flags direct|proxy, then the proxy and the bypass list, each after
# its length) that WinHTTP reads. The bypass list "<-loopback>" sends even 127.0.0.1
# through the proxy. One start of regedit; the cleanup takes the values away again.
use_system_proxy() {
    start_tinyproxy "$work" "http://$server/"
    [ "$proxy" != 0 ] || fail "tinyproxy: $(cat "$work/proxy-skip")"
    local key='HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
    local address="127.0.0.1:$proxy" bypass="<-loopback>"
    le32() { printf '%02x,%02x,%02x,%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) 0; }
    hex() { printf '%s' "$1" | od -An -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//'; }
    local settings_hex
    settings_hex="$(le32 70),$(le32 1),$(le32 3),$(le32 ${#address}),$(hex "$address"),$(le32 ${#bypass}),$(hex "$bypass")"
    settings_hex+=",$(le32 0),$(le32 0),$(le32 0),$(le32 0),$(le32 0),$(le32 0),$(le32 0),$(le32 0)"
    printf 'REGEDIT4\n\n[%s]\n"ProxyEnable"=dword:00000001\n"ProxyServer"="%s"\n"ProxyOverride"="%s"\n\n[%s\\Connections]\n"DefaultConnectionSettings"=hex:%s\n' \
        "$key" "$address" "$bypass" "$key" "$settings_hex" >"$work/proxy.reg"
    printf 'REGEDIT4\n\n[%s]\n"ProxyEnable"=-\n"ProxyServer"=-\n"ProxyOverride"=-\n\n[%s\\Connections]\n"DefaultConnectionSettings"=-\n' \
        "$key" "$key" >"$work/no-proxy.reg"
    proxied=1
    wine regedit /S "$(winepath -w "$work/proxy.reg")" >/dev/null 2>&1 || fail "regedit"
}
# Whether tinyproxy's log holds a request line for `url`.
proxy_passed() { grep -qF ": GET $1 HTTP/" "$work/tinyproxy.log"; }

run_updater() {
    big="$work/big.bin"
    head -c 3000000 /dev/urandom >"$big"
    publish_and_serve
    # Both programs through the system's proxy: the client lists the games first.
    use_system_proxy
    check_eq "games through the proxy" "$(printf 'demo\tDemo Game')" \
        "$(wine "$client" games --server "$server" --quiet | tr -d '\r')"
    proxy_passed "http://$server/" || fail "the client's request did not pass the proxy: $(cat "$work/tinyproxy.log")"
    echo "ok: zefo.exe through the system's proxy"
    local game="$work/game"
    mkdir -p "$game/data"
    cp "$work/root/demo/data/game.dat" "$game/data/game.dat"
    cp "$work/root/demo/data/config.ini" "$game/data/config.ini"
    cp "$big" "$game/data/big.bin"
    printf 'Readme, first edition\r\n' >"$game/readme.txt"
    cp "$program" "$game/Update.exe"

    start_program "$game"
    drive wait-line "Zefo Updater" 5 "updated file(s) available" 60000 >/dev/null || fail "no file count"
    check_eq "status lines" "$(printf '%s\n' 'Welcome to the Zefo Updater.' 'Loading file list for "Demo Game"...' \
        'File list has been loaded.' '6 file(s) found.' '4 updated file(s) available.')" \
        "$(drive lines "Zefo Updater" 5)"
    check_eq "Update enabled" 1 "$(drive enabled "Zefo Updater" 2)"
    shot updater-main

    drive click "Zefo Updater" 3 >/dev/null || fail "Show files"
    drive wait-window "File list" >/dev/null || fail "no files window"
    check_eq "files to update" "$(printf '%s\n' "1	0	Update.exe" "1	0	data/big.bin" "1	0	maps/level 1.map" "1	0	readme.txt")" \
        "$(drive rows "File list" 9)"
    shot updater-files
    drive close "File list" >/dev/null && drive wait-gone "File list" >/dev/null || fail "closing the files window"

    drive click "Zefo Updater" 4 >/dev/null || fail "Settings"
    drive wait-window "Settings" >/dev/null || fail "no options window"
    check_eq "server field" "$server" "$(drive text "Settings" 15)"
    shot updater-options
    drive click "Settings" 12 >/dev/null && drive wait-gone "Settings" >/dev/null || fail "Cancel"

    drive click "Zefo Updater" 2 >/dev/null || fail "Update"
    drive wait-line "Zefo Updater" 5 "The game has been updated successfully ." 60000 >/dev/null || {
        drive lines "Zefo Updater" 5; fail "no success line"; }
    check_eq "progress" 100 "$(drive progress "Zefo Updater" 6)"
    check_eq "Update disabled" 0 "$(drive enabled "Zefo Updater" 2)"
    [ -f "$game/Update.bat" ] || fail "no Update.bat after the self-update"
    check_eq "Update.bat" "$(bytes_of <(printf 'del Update.exe\r\nren Update_copy.exe Update.exe\r\ndel Update.bat\r\n'))" \
        "$(bytes_of "$game/Update.bat")"
    shot updater-done

    drive close "Zefo Updater" >/dev/null || fail "closing the main window"
    for _ in $(seq 300); do
        [ ! -e "$game/Update.bat" ] && [ ! -e "$game/Update_copy.exe" ] && break
        sleep 0.1
    done
    [ ! -e "$game/Update.bat" ] || fail "Update.bat is still there"
    [ ! -e "$game/Update_copy.exe" ] || fail "Update_copy.exe is still there"
    cmp -s "$game/Update.exe" "$work/root/demo/Update.exe" || fail "Update.exe was not replaced by the new one"
    echo "ok: Update.exe replaced by the new updater, script removed"
    for f in readme.txt "maps/level 1.map" data/config.ini data/big.bin; do
        cmp -s "$game/$f" "$work/root/demo/$f" || fail "$f differs from the server's"
    done
    echo "ok: game files updated"
    for f in demo/ demo/readme.txt demo/Update.exe; do
        proxy_passed "http://$server/$f" || fail "$f did not pass the proxy: $(cat "$work/tinyproxy.log")"
    done
    echo "ok: Update.exe's list, files and new copy through the system's proxy"
    # The big file by its changes: ranges of it, far fewer bytes than it holds.
    local ranges whole sent
    ranges=$(grep -c '/demo/data/big.bin HTTP/1\.[01]" 206 ' "$work/serve.log")
    whole=$(grep -c '/demo/data/big.bin HTTP/1\.[01]" 200 ' "$work/serve.log")
    sent=$(awk '/\/demo\/data\/big.bin HTTP/ {n += $NF} END {print n + 0}' "$work/serve.log")
    [ "$ranges" -ge 1 ] && [ "$whole" = 0 ] && [ "$sent" -lt 300000 ] ||
        fail "big.bin: $ranges ranges, $whole whole downloads, $sent bytes of 3000000"
    echo "ok: big.bin updated by $ranges range(s), $sent bytes"
    check_eq "settings file" "$(bytes_of <(printf '\357\273\277\r\n[Program]\r\nserver = %s\r\nlang = en\r\n' "$server"))" \
        "$(bytes_of "$settings")"
}

run_installer() {
    publish_and_serve
    local start="$work/start" target="$work/target"
    mkdir -p "$start" "$target"
    cp "$program" "$start/Update.exe"

    start_program "$start"
    drive wait-enabled "Zefo Installer" 1 1 60000 >/dev/null || fail "the game list did not arrive"
    check_eq "games" "$(printf '%s\n' 0 '0	Demo Game')" "$(drive combo "Zefo Installer" 1)"
    check_eq "status lines" "$(printf '%s\n' 'Welcome to the Zefo Installer.' 'Game list has been loaded.')" \
        "$(drive lines "Zefo Installer" 5)"
    shot installer-main

    drive click "Zefo Installer" 4 >/dev/null || fail "Settings"
    drive wait-window "Settings" >/dev/null || fail "no options window"
    check_eq "languages" "$(printf '%s\n' 1 '0	Deutsch' '1	English' '2	Suomi')" "$(drive combo "Settings" 16)"
    shot installer-options
    drive close "Settings" >/dev/null && drive wait-gone "Settings" >/dev/null || fail "closing the options window"

    drive click "Zefo Installer" 2 >/dev/null || fail "Install"
    drive browse "$(winepath -w "$target")" 30000 >/dev/null || fail "choosing the folder"
    drive wait-line "Zefo Installer" 5 "The game has been installed successfully." 60000 >/dev/null || {
        drive lines "Zefo Installer" 5; fail "no success line"; }
    for f in readme.txt "maps/level 1.map" data/config.ini data/game.dat Update.exe; do
        cmp -s "$target/$f" "$work/root/demo/$f" || fail "$f was not installed"
    done
    echo "ok: every file installed"
    check_eq "Install enabled again" 1 "$(drive enabled "Zefo Installer" 2)"
    shot installer-done
    drive close "Zefo Installer" >/dev/null || fail "closing the main window"
}

run_crash() {
    local start="$work/start"
    mkdir -p "$start"
    cp "$program" "$start/Update.exe"
    mkdir -p "$(dirname "$settings")"
    printf '[Program]\r\nserver=127.0.0.1:9\r\n' >"$settings"  # nothing listens there
    (cd "$start" && exec wine "$start/Update.exe") >/dev/null 2>&1 &
    program_pid=$!
    drive wait-window "Zefo Installer" 60000 >/dev/null || fail "the program did not start"
    # The game list's connection error comes first; it must be gone, or the
    # report would be owned by a box that is being destroyed.
    drive dismiss 20000 >/dev/null || fail "no connection error"
    drive wait-gone title=Error 20000 >/dev/null || fail "the connection error stayed"
    # The call window reads the call at the given address plus 16: 32 is the target.
    wine "$fault" 16 || fail "could not make the program fault"
    report=$(drive message 20000) || fail "no crash report"
    shot crash-report
    check_eq "report title" "OnError example" "$(head -n1 <<<"$report")"
    for line in "Error Message:   Invalid memory access" "Error Code:      -1073741819" \
                "Target Address:  32" "Register content:" \
                "Sourcecode line: Enable OnError lines support to get code line information."; do
        grep -qF "$line" <<<"$report" || fail "report lacks [$line]: $report"
    done
    echo "ok: crash report"
    drive dismiss >/dev/null || fail "dismissing the report"
    wait "$program_pid"
    local code=$?
    program_pid=""
    check_eq "exit code after the report" 0 "$code"
}

run_https() {
    fixture="$work/tls"
    "$here/../net/tls_fixture.sh" start "$fixture" >"$work/fixture.log" 2>&1 || {
        cat "$work/fixture.log"; fixture=""; fail "the HTTPS servers did not start"; }
    port_of() { grep "^$1=" "$fixture/ports" | cut -d= -f2; }
    drive trust "$(winepath -w "$fixture/ca.pem")" >/dev/null || fail "trusting the test authority"
    trusted=$(winepath -w "$fixture/ca.pem")
    publish_demo "$fixture/www"
    mkdir -p "$(dirname "$settings")"

    # A server whose certificate no authority vouches for: the message of an
    # unreachable server, the reason in the status list, no game list.
    local start="$work/start"
    mkdir -p "$start"
    cp "$program" "$start/Update.exe"
    printf '[Program]\r\nserver=https://localhost:%s\r\n' "$(port_of self)" >"$settings"
    (cd "$start" && exec wine "$start/Update.exe") >/dev/null 2>&1 &
    program_pid=$!
    drive wait-window "Zefo Installer" 60000 >/dev/null || fail "the program did not start"
    check_eq "refused server" "$(printf '%s\n' Error 'Could not connect to server.')" "$(drive message 30000)"
    shot https-refused
    drive dismiss >/dev/null || fail "dismissing the message"
    check_eq "status lines" "$(printf '%s\n' 'Welcome to the Zefo Installer.' 'self-signed certificate')" \
        "$(drive lines "Zefo Installer" 5)"
    check_eq "no games" "0" "$(drive enabled "Zefo Installer" 1)"
    drive close "Zefo Installer" >/dev/null || fail "closing the main window"
    for _ in $(seq 100); do kill -0 "$program_pid" 2>/dev/null || break; sleep 0.2; done
    program_pid=""

    # The verified server with its key pinned: the game list and every file over HTTPS.
    local target="$work/target"
    mkdir -p "$target"
    printf '[Program]\r\nserver=https://localhost:%s\r\npin=%s\r\n' "$(port_of good)" "$(cat "$fixture/pin")" \
        >"$settings"
    start_program "$start"
    drive wait-enabled "Zefo Installer" 1 1 60000 >/dev/null || fail "the game list did not arrive"
    check_eq "games" "$(printf '%s\n' 0 '0	Demo Game')" "$(drive combo "Zefo Installer" 1)"
    drive click "Zefo Installer" 2 >/dev/null || fail "Install"
    drive browse "$(winepath -w "$target")" 30000 >/dev/null || fail "choosing the folder"
    drive wait-line "Zefo Installer" 5 "The game has been installed successfully." 60000 >/dev/null || {
        drive lines "Zefo Installer" 5; fail "no success line"; }
    for f in readme.txt "maps/level 1.map" data/config.ini data/game.dat Update.exe; do
        cmp -s "$target/$f" "$fixture/www/demo/$f" || fail "$f was not installed"
    done
    echo "ok: every file installed over HTTPS"
    shot https-installed
    drive close "Zefo Installer" >/dev/null || fail "closing the main window"
    # The program saves its settings as it ends; the pin is not its to write.
    for _ in $(seq 100); do grep -q '^lang = ' "$settings" && break; sleep 0.2; done
    check_eq "the pin after the program's save" "1" "$(grep -c "^pin = $(cat "$fixture/pin")" "$settings")"
}

case "$case_name" in
    updater) run_updater ;;
    installer) run_installer ;;
    crash) run_crash ;;
    https) run_https ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "e2e $case_name: passed"
