#!/usr/bin/env bash
# The files window and the status list at scale: opens and closes the files
# window with 2,000, 20,000 and 100,000 listed files through the program's own
# OpenFilesWindow and CloseFilesWindow, then lets a worker write 200,000 status
# lines while the event loop runs. Under Wine for the Windows program, natively
# for the GTK one, both on an Xvfb display of their own. The Windows program runs
# in a Wine desktop window: on a bare X display Wine waits 2 s for a window
# manager each time a framed window is hidden, whatever the program does.
# Usage: tools/bench_files_window.sh [win64 build] [native build] [window_bench arguments...]
#   (defaults build/win64 and build/native; "-" skips one; the window_bench target
#   is built there; arguments such as --files 2000,20000 --rounds 1 --status 0 are
#   passed on). Needs xvfb and wine (Debian packages xvfb, wine, wine64).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
win64=${1:-$root/build/win64}
native=${2:-$root/build/native}
shift $(( $# < 2 ? $# : 2 ))
for build in "$win64" "$native"; do
    [ "$build" = "-" ] || cmake --build "$build" --target window_bench -j 2 >/dev/null
done
source "$root/tools/lib/xvfb.sh"
xvfb_start || exit 1
display=$XVFB_DISPLAY xvfb_pid=$XVFB_PID
# A prefix of its own, so that ending its wineserver disturbs no test run.
export WINEPREFIX=${WINEPREFIX:-$root/build/bench-wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-window-bench.XXXXXX")
cleanup() {
    rm -rf "$work"
    [ "$win64" = "-" ] || wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

status=0
if [ "$win64" != "-" ]; then
    echo "== Windows program under $(wine --version) (display $display)"
    DISPLAY=$display wineboot --init >/dev/null 2>&1
    # The figures come through explorer, which does not pass the exit code on, and
    # into a file: Wine's services would keep a pipe open after the program ends.
    DISPLAY=$display wine explorer /desktop=zefo-bench,1280x1000 "$win64/tools/window_bench.exe" "$@" \
        >"$work/win64.txt" 2>"$work/win64.err" || true
    tr -d '\r' <"$work/win64.txt"
    grep -q "WRONG" "$work/win64.txt" && status=1
    grep -q "^status list\|^files window" "$work/win64.txt" || { cat "$work/win64.err" >&2; status=1; }
fi
if [ "$native" != "-" ]; then
    echo "== GTK program (display $display)"
    DISPLAY=$display "$native/tools/window_bench" "$@" || status=1
fi
exit $status
