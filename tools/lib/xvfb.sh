# An Xvfb display of a benchmark's own, sourced by its script.
#
#   xvfb_start    starts Xvfb on a free display; sets XVFB_DISPLAY (":N") and XVFB_PID
#                 (end it with kill "$XVFB_PID")

xvfb_start() {
    command -v Xvfb >/dev/null || { echo "Xvfb is missing (apt-get install xvfb)" >&2; return 1; }
    XVFB_DISPLAY="" XVFB_PID=""
    local candidate
    for candidate in $(shuf -i 200-299 -n 10); do
        [ -e "/tmp/.X11-unix/X$candidate" ] || [ -e "/tmp/.X$candidate-lock" ] && continue
        Xvfb ":$candidate" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$candidate" ] && break; sleep 0.1; done
        if kill -0 "$XVFB_PID" 2>/dev/null; then
            XVFB_DISPLAY=":$candidate"
            return 0
        fi
    done
    XVFB_PID=""
    echo "Xvfb did not start" >&2
    return 1
}
