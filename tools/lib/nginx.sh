# nginx on 127.0.0.1 for tests and benchmarks, sourced by their scripts.
#
#   nginx_start WORK ROOT [DIRECTIVES]   serves ROOT (index index.html) from a free port,
#                                        with its files in WORK; sets NGINX_PORT.
#                                        DIRECTIVES go into the server block.
#   nginx_stop WORK                      ends it.
#   nginx_workspace NAME                 a fresh folder for one run in $work; when the
#                                        script exits, its nginx and the process in
#                                        $PROXY_PID (if any) end and the folder goes.

nginx_start() {
    local work=$1 root=$2 directives=${3:-}
    local nginx
    nginx=$(command -v nginx || echo /usr/sbin/nginx)
    [ -x "$nginx" ] || { echo "nginx is missing (apt-get install nginx-light)" >&2; return 1; }
    mkdir -p "$work/nginx-temp"
    # nginx's workers may run as another user: what they serve must be readable.
    chmod -R a+rX "$root" 2>/dev/null
    NGINX_PORT=""
    for port in $(shuf -i 20000-60000 -n 10); do
        {
            [ "$(id -u)" -eq 0 ] && echo "user root;"
            cat <<CONF
worker_processes 1;
error_log $work/nginx-error.log;
pid $work/nginx.pid;
events { worker_connections 256; }
http {
    access_log off;
    # The combined format and "p" or "." last: whether the request came before the reply to the one before ended.
    log_format pipelined '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                         '"\$http_referer" "\$http_user_agent" \$pipe';
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    default_type application/octet-stream;
    client_body_temp_path $work/nginx-temp/body;
    proxy_temp_path $work/nginx-temp/proxy;
    fastcgi_temp_path $work/nginx-temp/fastcgi;
    uwsgi_temp_path $work/nginx-temp/uwsgi;
    scgi_temp_path $work/nginx-temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $root;
        index index.html;
        $directives
    }
}
CONF
        } >"$work/nginx.conf"
        if "$nginx" -p "$work" -c "$work/nginx.conf" 2>/dev/null; then
            for _ in $(seq 50); do
                if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
                    NGINX_PORT=$port
                    return 0
                fi
                sleep 0.1
            done
            nginx_stop "$work"
        fi
    done
    echo "nginx did not start: $(cat "$work/nginx-error.log" 2>/dev/null)" >&2
    return 1
}

nginx_stop() {
    local work=$1
    if [ -f "$work/nginx.pid" ]; then
        kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
        for _ in $(seq 50); do [ -f "$work/nginx.pid" ] || break; sleep 0.1; done
    fi
}

nginx_workspace() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-$1.XXXXXX")
    chmod 755 "$work"
    PROXY_PID=""
    trap nginx_workspace_end EXIT
}

nginx_workspace_end() {
    [ -n "$PROXY_PID" ] && kill "$PROXY_PID" 2>/dev/null
    nginx_stop "$work"
    rm -rf "$work"
}
