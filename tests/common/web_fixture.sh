#!/usr/bin/env bash
# The web servers of the network tests, on the loopback addresses only.
# Usage: web_fixture.sh start|stop FOLDER
# start: nginx serves FOLDER/www on 127.0.0.1 and [::1] (one port; [::1] left out
# where the machine has no IPv6 loopback), with the redirect rules of
# web_redirects.conf and an access log of "METHOD URI STATUS BODY-BYTES BYTES"
# lines in FOLDER/access.log; tinyproxy listens on 127.0.0.1 with its log in
# FOLDER/tinyproxy.log. FOLDER then holds ports (web=PORT, proxy=PORT, ipv6=1|0)
# and www/pattern.bin. When tinyproxy cannot start, proxy is 0 and FOLDER/proxy-skip
# says why (the proxy tests skip); nginx must start. Every wait is bounded.
# stop: ends both and removes FOLDER.
set -euo pipefail

action=${1:-}
dir=${2:-}
[ -n "$dir" ] && { [ "$action" = start ] || [ "$action" = stop ]; } || {
    echo "usage: $0 start|stop FOLDER" >&2
    exit 2
}
here=$(cd "$(dirname "$0")" && pwd)

# end_process and start_tinyproxy.
# shellcheck source=tinyproxy.sh
. "$here/tinyproxy.sh"

stop() {
    end_process "$dir/nginx.pid"
    end_process "$dir/tinyproxy.pid"
    rm -rf "$dir"
}
stop
[ "$action" = stop ] && exit 0

mkdir -p "$dir/www" "$dir/temp"
chmod 755 "$dir" "$dir/www"
head -c 300000 /dev/urandom >"$dir/www/pattern.bin"
chmod 644 "$dir/www/pattern.bin"

# True once `url` answers through curl (any status), within 5 s.
answers() {
    for _ in $(seq 50); do
        curl -s -o /dev/null --max-time 1 "$@" && return 0
        sleep 0.1
    done
    return 1
}

nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (apt-get install nginx-light)" >&2; exit 1; }
ipv6=0
grep -qs '^0\{31\}1 ' /proc/net/if_inet6 && ipv6=1
web=0
for port in $(shuf -i 20000-60000 -n 10); do
    listen="listen 127.0.0.1:$port;"
    [ $ipv6 = 1 ] && listen="$listen listen [::1]:$port;"
    {
        [ "$(id -u)" -eq 0 ] && echo "user root;"
        cat <<CONF
worker_processes 1;
error_log $dir/nginx-error.log;
pid $dir/nginx.pid;
events { worker_connections 256; }
http {
    log_format zefo '\$request_method \$request_uri \$status \$body_bytes_sent \$bytes_sent';
    access_log $dir/access.log zefo;
    default_type application/octet-stream;
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
    server {
        $listen
        root $dir/www;
        index index.html;
        include $here/web_redirects.conf;
    }
}
CONF
    } >"$dir/nginx.conf"
    if "$nginx" -p "$dir" -c "$dir/nginx.conf" 2>/dev/null; then
        if answers "http://127.0.0.1:$port/"; then
            web=$port
            break
        fi
        end_process "$dir/nginx.pid"
    fi
done
[ "$web" != 0 ] || { echo "nginx did not start: $(cat "$dir/nginx-error.log" 2>/dev/null)" >&2; exit 1; }

start_tinyproxy "$dir" "http://127.0.0.1:$web/"
printf 'web=%s\nproxy=%s\nipv6=%s\n' "$web" "$proxy" "$ipv6" >"$dir/ports"
