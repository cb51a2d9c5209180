#!/usr/bin/env bash
# End-to-end tests of the Linux desktop program on an X server, driven from outside
# with xdotool.
#
#   run_linux_e2e.sh install-update|crash PROGRAM CLOSE_BOX PLACES TOOLS CRASH_CHILD OUT
#
# PROGRAM is zefo-updater, CLOSE_BOX zefo_close_box, PLACES zefo_places (where the
# program's gadgets sit), TOOLS the folder of zefo_publish and zefo_serve,
# CRASH_CHILD zefo_crash_child, OUT a folder for screenshots. The
# display is ZEFO_TEST_DISPLAY, else DISPLAY. The program talks only to a server on
# 127.0.0.1 and keeps its settings in a temporary folder. Every wait is bounded.
set -uo pipefail

case_name=$1 program=$2 close_box=$3 places=$4 tools=$5 crash_child=$6 out=$7
export DISPLAY=${ZEFO_TEST_DISPLAY:-${DISPLAY:-}}
[ -n "$DISPLAY" ] || { echo "FAILED: no X display (set ZEFO_TEST_DISPLAY or DISPLAY)" >&2; exit 1; }
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-linux-e2e.XXXXXX")
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
trap "exit 1" INT TERM

# An X server resets when its last client leaves, and a program connecting meanwhile
# finds no display: one connection stays open for the whole test.
xprop -root -spy >/dev/null 2>&1 &
pids+=($!)

# The program's surroundings: its own settings folder, English, no session services.
export XDG_CONFIG_HOME="$work/config" LANG=C.UTF-8 LC_ALL= LC_MESSAGES= NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
settings="$XDG_CONFIG_HOME/Zefo/Updater/settings.ini"

shot() { import -window root "$out/linux-$1.png" 2>/dev/null && echo "screenshot: $out/linux-$1.png"; }
fail() { echo "FAILED: $*" >&2; shot "failure-$case_name"; exit 1; }
ok() { echo "ok: $*"; }
# until_true SECONDS COMMAND...: runs the command every 0.1 s until it succeeds.
until_true() {
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
# Sets $win to a visible window titled exactly $1; with $2 one of that process, with
# "!PID" one of another.
find_window() {
    local w p
    for w in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
        p=$(xdotool getwindowpid "$w" 2>/dev/null)
        case "${2:-}" in
            "") ;;
            !*) [ "$p" != "${2#!}" ] || continue ;;
            *) [ "$p" = "$2" ] || continue ;;
        esac
        win=$w
        return 0
    done
    return 1
}
gone() { ! find_window "$1"; }
exited() { ! kill -0 "$1" 2>/dev/null; }
# Clicks the middle of a gadget, named as in the program's code, of the program's
# window `kind` (installer, updater, options, files). zefo_places gives its place in
# the program's layout, which the desktop's font scales: the window's width tells
# by how much.
click_gadget() {  # window, kind, gadget
    local WIDTH HEIGHT X Y SCREEN WINDOW layout x y w h
    read -r layout x y w h < <("$places" "$2" "$3") || fail "no gadget $3 in the $2 window"
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove --window "$1" $(((x + w / 2) * WIDTH / layout)) $(((y + h / 2) * WIDTH / layout)) click 1
}
# Clicks a gadget every second until the window titled $1 appears (a disabled gadget
# does nothing; the program enables it when its list has arrived).
click_until_window() {  # title, window, kind, gadget
    local title=$1; shift
    for _ in $(seq 60); do
        click_gadget "$@"
        until_true 1 find_window "$title" && return 0
    done
    return 1
}
keys() { xdotool windowfocus --sync "$1" && xdotool key --delay 20 "${@:2}"; }
same_as_server() { cmp -s "$1/$2" "$work/root/demo/$2"; }
end_of() {  # pid, what: waits for a process started here and checks its exit code 0
    until_true 20 exited "$1" || fail "$2 did not end"
    wait "$1"
    local code=$?
    [ "$code" = 0 ] || fail "$2 ended with exit code $code"
}

# The demo catalogue (tools/demo/games) with the program's own file in "Zefo Demo".
publish() {
    "$tools/zefo_publish" "$work/src" "$work/root" >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail "publish"; }
}
publish_and_serve() {
    cp -a "$(dirname "$0")/../../tools/demo/games" "$work/src"
    cp "$program" "$work/src/demo/zefo-updater"
    publish
    "$tools/zefo_serve" --root "$work/root" --port 0 >"$work/serve.log" 2>&1 &
    pids+=($!)
    until_true 10 grep -q '127\.0\.0\.1:[0-9]' "$work/serve.log" || fail "the server did not start"
    server=$(grep -o -m1 '127\.0\.0\.1:[0-9]*' "$work/serve.log")
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
    local target="$work/games/demo" main begin startup
    mkdir -p "$work/start" "$target"

    # Installer mode in a folder without data/game.dat.
    begin=$(date +%s%N)
    start "$work/start" "$program"
    until_true 30 find_window "Zefo Installer" "$pid" || fail "no installer window"
    startup=$((($(date +%s%N) - begin) / 1000000))
    main=$win
    click_until_window "Install to..." "$main" installer actionButton || fail "Install never opened the folder chooser"
    # GTK's chooser takes a typed location after Ctrl+L.
    keys "$win" ctrl+l && xdotool type --delay 10 "$target"
    sleep 0.3
    shot installer-chooser
    keys "$win" Return
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
    end_of "$pid" "the installer"
    grep -q "server = $server" "$settings" || fail "settings not saved: $(cat "$settings")"
    ok "installer closed with exit code 0, settings saved"

    # The server changes: a new readme, a new level and a newer program.
    printf 'Second edition.\n' >>"$work/src/demo/readme.txt"
    printf 'Level 3: the long way home.\n' >"$work/src/demo/data/levels/level3.txt"
    printf '\nZEFO-NEWER-PROGRAM' >>"$work/src/demo/zefo-updater"
    publish
    cp "$target/zefo-updater" "$work/old-program"

    # Updater mode: the installed program, started in the game's folder. Show files
    # opens the files window once the file list has been compared.
    start "$target" "$target/zefo-updater"
    until_true 30 find_window "Zefo Updater" "$pid" || fail "no updater window (Updater mode)"
    main=$win
    click_until_window "File list" "$main" updater filesButton || fail "the file list never arrived"
    sleep 0.3
    shot updater-files
    "$close_box" "$win" && until_true 10 gone "File list" || fail "closing the files window"
    shot updater-main

    click_gadget "$main" updater actionButton
    until_true 60 test -x "$target/zefo-updater.new" || fail "no verified, executable copy of the new program"
    for f in readme.txt data/levels/level3.txt; do
        same_as_server "$target" "$f" || fail "$f was not updated"
    done
    cmp -s "$target/zefo-updater.new" "$work/root/demo/zefo-updater" || fail "the copy differs from the server's"
    cmp -s "$target/zefo-updater" "$work/old-program" || fail "the running program was replaced before the end"
    ok "game files updated; the new program waits beside the running one"
    sleep 0.5
    shot updater-done

    # A change of language ends the program and starts the same file again: the swap
    # comes first, so the new program starts.
    click_gadget "$main" updater optionsButton
    until_true 10 find_window "Settings" || fail "no options window"
    sleep 0.3
    shot updater-options
    keys "$win" Up  # the language list has the focus: English -> Deutsch
    sleep 0.3
    click_gadget "$win" options saveButton
    end_of "$pid" "the updater"
    cmp -s "$target/zefo-updater" "$work/root/demo/zefo-updater" || fail "the program was not replaced at the end"
    [ -x "$target/zefo-updater" ] && [ ! -e "$target/zefo-updater.new" ] || fail "the swap left the wrong files"
    grep -q "lang = de" "$settings" || fail "the language was not saved: $(cat "$settings")"
    ok "self-update: one rename at the end put the new program in place"

    until_true 30 find_window "Zefo Updater" "!$pid" || fail "the program did not start again"
    local restarted
    restarted=$(xdotool getwindowpid "$win")
    pids+=("$restarted")
    [ "$(readlink "/proc/$restarted/exe")" = "$target/zefo-updater" ] ||
        fail "the restart runs $(readlink "/proc/$restarted/exe")"
    ok "the restart runs the new program from the same file"
    sleep 2
    shot updater-restarted-de
    "$close_box" "$win" && until_true 10 exited "$restarted" || fail "the restarted program did not end"
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
        until_true 20 find_window "OnError example" || fail "$mode: no report"
        sleep 0.3
        [ "$mode" = thread-stack ] && shot crash-report
        grep -qxF "Error Message:   $message" "$work/$mode.err" || fail "$mode: no [$message]: $(cat "$work/$mode.err")"
        exited "$child" && fail "$mode: the child ended before the report was dismissed"
        keys "$win" Return
        end_of "$child" "$mode: the faulting child"
        # The search for the next report must not find this one.
        until_true 10 gone "OnError example" || fail "$mode: the report stayed"
        ok "$mode: \"$message\" shown, exit code 0"
    done
}

case "$case_name" in
    install-update) run_install_update ;;
    crash) run_crash ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "e2e linux $case_name: passed"
