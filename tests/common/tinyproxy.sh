# tinyproxy for the test fixtures, sourced by web_fixture.sh and tls_fixture.sh.
# start_tinyproxy FOLDER CHECK-URL [CONF-LINE...]: tinyproxy on 127.0.0.1 at a free port,
# in the foreground of a background job, its log in FOLDER/tinyproxy.log, its process id
# in FOLDER/tinyproxy.pid, the further configuration lines (ConnectPort ...) added. It
# counts as started once CHECK-URL answers through it (5 s at most per port). Sets
# `proxy` to the port, or to 0 with the reason in FOLDER/proxy-skip.
# end_process PIDFILE: ends the process it names (TERM, 5 s, KILL).

end_process() {
    local pidfile=$1
    [ -f "$pidfile" ] || return 0
    local pid
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
}

start_tinyproxy() {
    local dir=$1 check=$2
    shift 2
    proxy=0
    local tinyproxy port
    tinyproxy=$(command -v tinyproxy || echo /usr/bin/tinyproxy)
    if [ ! -x "$tinyproxy" ]; then
        echo "tinyproxy is missing (apt-get install tinyproxy-bin)" >"$dir/proxy-skip"
        return 0
    fi
    for port in $(shuf -i 20000-60000 -n 10); do
        {
            cat <<CONF
Port $port
Listen 127.0.0.1
Timeout 30
LogFile "$dir/tinyproxy.log"
LogLevel Info
PidFile "$dir/tinyproxy.pid"
MaxClients 64
Allow 127.0.0.1
DisableViaHeader Yes
CONF
            local line
            for line in "$@"; do echo "$line"; done
        } >"$dir/tinyproxy.conf"
        # In the foreground under the fixture's control, its output away from ctest's pipe.
        "$tinyproxy" -d -c "$dir/tinyproxy.conf" </dev/null >>"$dir/tinyproxy.out" 2>&1 &
        echo $! >"$dir/tinyproxy.pid"
        local tries
        for tries in $(seq 50); do
            if curl -s -o /dev/null --max-time 1 -x "http://127.0.0.1:$port" "$check"; then
                proxy=$port
                return 0
            fi
            sleep 0.1
        done
        end_process "$dir/tinyproxy.pid"
    done
    echo "tinyproxy did not start: $(tail -c 500 "$dir/tinyproxy.out" 2>/dev/null)" >"$dir/proxy-skip"
}
