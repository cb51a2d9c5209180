#!/usr/bin/env bash
# End-to-end tests of the Linux desktop program on an X server, driven from outside
# with xdotool.
#
#   run_linux_e2e.sh install-update|crash PROGRAM CLOSE_BOX TOOLS CRASH_CHILD OUT
#
# PROGRAM is zefo-updater, CLOSE_BOX zefo_close_box, TOOLS the folder of zefo_publish
# and zefo_serve, CRASH_CHILD zefo_crash_child, OUT a folder for screenshots. The
# display is ZEFO_TEST_DISPLAY, else DISPLAY. The program talks only to a server on
# 127.0.0.1 and keeps its settings in a temporary folder. Every wait is bounded.
set -uo pipefail

case_name=$1 program=$2 close_box=$3 tools=$4 crash_child=$5 out=$6
export DISPLAY=${ZEFO_TEST_DISPLAY:-${DISPLAY:-}}
[ -n "$DISPLAY" ] || { echo "FAILED: no X display (set ZEFO_TEST_DISPLAY or DISPLAY)" >&2; exit 1; }
mkdir -p "$out"

work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-linux-e2e.XXXXXX")
server_pid="" pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM

# The program's surroundings: its own settings folder, English, no session services.
export XDG_CONFIG_HOME="$work/config" LANG=C.UTF-8 LC_ALL= LC_MESSAGES= NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
settings="$XDG_CONFIG_HOME/Zefo/Updater/settings.ini"

shot() { import -window root "$out/linux-$1.png" 2>/dev/null && echo "screenshot: $out/linux-$1.png"; }
fail() {
    echo "FAILED: $*" >&2
    shot "failure-$case_name"
    exit 1
}
ok() { echo "ok: $*"; }
# until SECONDS COMMAND...: runs the command every 0.1 s until it succeeds.
until_true() {
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
# The one visible window titled exactly $1 (of process $2 when given).
window_of() {
    local w
    for w in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
        if [ -z "${2:-}" ] || [ "$(xdotool getwindowpid "$w" 2>/dev/null)" = "$2" ]; then
            echo "$w"
            return 0
        fi
    done
    return 1
}
wait_window() {  # title, seconds, [pid]: prints the window
    local w="" deadline=$((SECONDS + $2))
    until w=$(window_of "$1" "${3:-}"); do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
    echo "$w"
}
gone() { ! window_of "$1" >/dev/null; }
# Clicks the middle of a gadget given in the window's 400-pixel layout, which the
# desktop's font scales: the window's width tells by how much.
click_gadget() {  # window, layout width, x, y, width, height
    local WIDTH HEIGHT X Y SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    local cx=$(( ($3 + $5 / 2) * WIDTH / $2 )) cy=$(( ($4 + $6 / 2) * WIDTH / $2 ))
    xdotool mousemove --window "$1" "$cx" "$cy" click 1
}
type_keys() {  # window, keys...
    local w=$1; shift
    xdotool windowfocus --sync "$w" && xdotool key --delay 20 "$@"
}
same_as_server() { cmp -s "$1/$2" "$work/root/demo/$2"; }
exited() { ! kill -0 "$1" 2>/dev/null; }

# Publishes the demo catalogue (tools/demo/games) with the program's own file in
# "Zefo Demo" (folder demo) and serves it.
publish() {
    "$tools/zefo_publish" "$work/src" "$work/root" >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "publish"; }
}
publish_and_serve() {
    cp -a "$(dirname "$0")/../../tools/demo/games" "$work/src"
    cp "$program" "$work/src/demo/zefo-updater"
    publish
    "$tools/zefo_serve" --root "$work/root" --port 0 >"$work/serve.log" 2>&1 &
    server_pid=$!
    local port=""
    for _ in $(seq 100); do
        port=$(grep -o -m1 '127\.0\.0\.1:[0-9]*' "$work/serve.log" | head -n1 | cut -d: -f2)
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || fail "the server did not start"
    server="127.0.0.1:$port"
    mkdir -p "$(dirname "$settings")"
    printf '[Program]\nserver=%s\n' "$server" >"$settings"
}

start() {  # folder, program file: starts it there; sets $pid
    (cd "$1" && exec "$2") >>"$work/program.log" 2>&1 &
    pid=$!
    pids+=("$pid")
}

run_install_update() {
    publish_and_serve
    local begin startup
    mkdir -p "$work/start" "$work/games/demo"
    local target="$work/games/demo"

    # Installer mode in a folder without data/game.dat.
    begin=$(date +%s%N)
    start "$work/start" "$program"
    local main
    main=$(wait_window "Zefo Installer" 30 "$pid") || fail "no installer window"
    startup=$(( ($(date +%s%N) - begin) / 1000000 ))
    # Install stays disabled until the game list has arrived; then it opens the chooser.
    local chooser=""
    for _ in $(seq 60); do
        click_gadget "$main" 400 4 300 194 20
        chooser=$(wait_window "Install to..." 1) && break
    done
    [ -n "$chooser" ] || fail "Install never opened the folder chooser"
    # GTK's chooser takes a typed location after Ctrl+L.
    type_keys "$chooser" ctrl+l
    xdotool type --delay 10 "$target"
    sleep 0.3
    shot installer-chooser
    type_keys "$chooser" Return
    until_true 10 gone "Install to..." || fail "the folder chooser stayed open"
    until_true 60 same_as_server "$target" zefo-updater || fail "the game was not installed"
    for f in readme.txt config/settings.cfg data/levels/level1.txt "data/maps/map 1.bin" data/game.dat; do
        same_as_server "$target" "$f" || fail "$f was not installed"
    done
    [ -x "$target/zefo-updater" ] || fail "the installed program is not executable"
    ok "installed into the chosen folder; the program file is executable"
    sleep 0.5
    shot installer-done
    "$close_box" "$main" || fail "closing the installer"
    until_true 10 exited "$pid" || fail "the installer did not end after its close box"
    wait "$pid"; local code=$?
    [ "$code" = 0 ] || fail "the installer ended with $code"
    grep -q "server = $server" "$settings" || fail "settings not saved: $(cat "$settings")"
    ok "installer closed with exit code 0, settings saved"

    # The server changes: a new readme, a new level and a newer program.
    printf 'Second edition.\n' >>"$work/src/demo/readme.txt"
    printf 'Level 3: the long way home.\n' >"$work/src/demo/data/levels/level3.txt"
    printf '\nZEFO-NEWER-PROGRAM' >>"$work/src/demo/zefo-updater"
    publish
    local old_program="$work/old-program"
    cp "$target/zefo-updater" "$old_program"

    # Updater mode: the installed program, started in the game's folder.
    start "$target" "$target/zefo-updater"
    local updater_pid=$pid
    main=$(wait_window "Zefo Updater" 30 "$pid") || fail "no updater window (Updater mode)"
    # Show files opens the files window once the file list has been compared.
    local files=""
    for _ in $(seq 60); do
        click_gadget "$main" 400 136 300 128 20
        files=$(wait_window "File list" 1) && break
    done
    [ -n "$files" ] || fail "the file list never arrived"
    sleep 0.3
    shot updater-files
    "$close_box" "$files" && until_true 10 gone "File list" || fail "closing the files window"
    shot updater-main

    click_gadget "$main" 400 4 300 128 20
    until_true 60 same_as_server "$target" data/levels/level3.txt || fail "the update did not load the new level"
    until_true 20 test -e "$target/zefo-updater.new" || fail "no verified copy of the new program"
    same_as_server "$target" readme.txt || fail "readme.txt not updated"
    cmp -s "$target/zefo-updater.new" "$work/root/demo/zefo-updater" || fail "the copy differs from the server's"
    [ -x "$target/zefo-updater.new" ] || fail "the copy is not executable"
    cmp -s "$target/zefo-updater" "$old_program" || fail "the running program was replaced before the end"
    ok "game files updated; the new program waits beside the running one"
    sleep 0.5
    shot updater-done

    # A change of language ends the program and starts the same file again: the swap
    # comes first, so the new program starts.
    click_gadget "$main" 400 268 300 128 20
    local options
    options=$(wait_window "Settings" 10) || fail "no options window"
    sleep 0.3
    shot updater-options
    type_keys "$options" Up  # the language list has the focus: English -> Deutsch
    sleep 0.3
    click_gadget "$options" 300 4 55 145 20
    until_true 20 exited "$updater_pid" || fail "the program did not end for the restart"
    wait "$updater_pid"; code=$?
    [ "$code" = 0 ] || fail "the updater ended with $code"
    cmp -s "$target/zefo-updater" "$work/root/demo/zefo-updater" || fail "the program was not replaced at the end"
    [ ! -e "$target/zefo-updater.new" ] || fail "the copy is still there"
    [ -x "$target/zefo-updater" ] || fail "the new program is not executable"
    grep -q "lang = de" "$settings" || fail "the language was not saved: $(cat "$settings")"
    ok "self-update: one rename at the end put the new program in place"

    local restarted="" new_pid=""
    for _ in $(seq 150); do
        for w in $(xdotool search --onlyvisible --name '^Zefo Updater$' 2>/dev/null); do
            new_pid=$(xdotool getwindowpid "$w" 2>/dev/null) || continue
            [ "$new_pid" != "$updater_pid" ] && { restarted=$w; break 2; }
        done
        sleep 0.2
    done
    [ -n "$restarted" ] || fail "the program did not start again"
    pids+=("$new_pid")
    [ "$(readlink "/proc/$new_pid/exe")" = "$target/zefo-updater" ] ||
        fail "the restart runs $(readlink "/proc/$new_pid/exe")"
    ok "the restart runs the new program from the same file"
    sleep 2
    shot updater-restarted-de
    "$close_box" "$restarted" || fail "closing the restarted program"
    until_true 10 exited "$new_pid" || fail "the restarted program did not end"
    echo "figures: the installer's window appeared ${startup} ms after the start"
}

# Real faults in a child process; the program's report process shows each in the
# toolkit's message box, and the child ends with exit code 0 once it is dismissed.
run_crash() {
    local mode message
    for mode in read divide illegal thread-stack; do
        case $mode in
            read) message="Invalid memory access" ;;
            divide) message="Division by zero " ;;
            illegal) message="Illegal instruction" ;;
            thread-stack) message="Stack overflow" ;;
        esac
        "$crash_child" "$mode" "$work/$mode.txt" "$program" 2>"$work/$mode.err" &
        local child=$!
        pids+=("$child")
        local box
        box=$(wait_window "OnError example" 20) || fail "$mode: no report"
        sleep 0.3
        [ "$mode" = thread-stack ] && shot crash-report
        grep -qxF "Error Message:   $message" "$work/$mode.err" || fail "$mode: report lacks [$message]: $(cat "$work/$mode.err")"
        exited "$child" && fail "$mode: the child ended before the report was dismissed"
        type_keys "$box" Return
        until_true 10 exited "$child" || fail "$mode: the child did not end after the report"
        wait "$child"; local code=$?
        [ "$code" = 0 ] || fail "$mode: exit code $code after the report"
        ok "$mode: \"$message\" shown, exit code 0"
    done
}

case "$case_name" in
    install-update) run_install_update ;;
    crash) run_crash ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "e2e linux $case_name: passed"
