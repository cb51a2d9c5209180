#!/usr/bin/env bash
# HTTPS servers for the TLS tests, on 127.0.0.1 only.
# Usage: tls_fixture.sh start|stop FOLDER
# start: makes a test certificate authority (root and intermediate), server
# certificates and the wrong ones with the openssl command line in FOLDER, and
# starts nginx with one port per case. FOLDER then holds ca.pem (the root the
# tests trust), ports (NAME=PORT lines), pin (SHA-256 of the good server's
# SubjectPublicKeyInfo) and www/pattern.bin (what the good server serves). Every server
# answers /to-plain/pattern.bin with a redirect to the same file over plain HTTP, which
# nginx serves too; tinyproxy lets CONNECT through to the good server alone. FOLDER/services
# names their ports (plain=PORT, proxy=PORT; proxy=0 and FOLDER/proxy-skip when tinyproxy
# cannot start), tinyproxy logs to FOLDER/tinyproxy.log.
# stop: ends nginx and tinyproxy and removes FOLDER.
set -euo pipefail

action=${1:-}
dir=${2:-}
[ -n "$dir" ] && { [ "$action" = start ] || [ "$action" = stop ]; } || {
    echo "usage: $0 start|stop FOLDER" >&2
    exit 2
}

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../common/tinyproxy.sh
. "$here/../common/tinyproxy.sh"

stop() {
    end_process "$dir/nginx.pid"
    end_process "$dir/tinyproxy.pid"
    rm -rf "$dir"
}
stop
[ "$action" = stop ] && exit 0

nginx=$(command -v nginx || echo /usr/sbin/nginx)
mkdir -p "$dir/www" "$dir/temp" "$dir/issued"
chmod 755 "$dir" "$dir/www"
cd "$dir"

cat >openssl.cnf <<CONF
[req]
distinguished_name = name
[name]
[ca]
default_ca = signer
[signer]
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1
CONF
: >index.txt
echo 01 >serial
export OPENSSL_CONF=$dir/openssl.cnf

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
request() { openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"; }
# sign NAME ISSUER EXTENSIONS [ca options...]
sign() {
    local name=$1 issuer=$2 extensions=$3
    shift 3
    openssl ca -batch -notext -cert "$issuer.pem" -keyfile "$issuer.key" -extensions "$extensions" \
        -in "$name.csr" -out "$name.pem" "$@" 2>/dev/null
}

# Wine's certificate checks take an ECDSA signature whose r or s is shorter than 32
# bytes (about one signature in 128) for a wrong one, where Windows does not: a
# certificate is signed again until its signature is one both take.
full_signature() {  # certificate file
    local at
    at=$(openssl asn1parse -in "$1" | tail -n 1 | cut -d: -f1 | tr -d ' ')
    openssl asn1parse -in "$1" -strparse "$at" |
        awk '/INTEGER/ { sub(/.*l= */, ""); if ($1 + 0 < 32) short = 1 } END { exit short }'
}
made() {  # certificate file, the command that makes it
    local certificate=$1
    shift
    for _ in $(seq 20); do
        "$@" && full_signature "$certificate" && return 0
    done
    return 1
}

for name in ca intermediate good expired self other-ca other; do key "$name"; done
made ca.pem openssl req -new -x509 -key ca.key -subj "/CN=Zefo Test Root" -extensions authority -days 2 -out ca.pem
request intermediate "Zefo Test Intermediate" && made intermediate.pem sign intermediate ca authority -days 2
request good localhost && made good.pem sign good intermediate server -days 2
request expired localhost &&
    made expired.pem sign expired intermediate server -startdate 20200101000000Z -enddate 20200201000000Z
made self.pem openssl req -new -x509 -key self.key -subj "/CN=localhost" -extensions server -days 2 -out self.pem
made other-ca.pem openssl req -new -x509 -key other-ca.key -subj "/CN=Zefo Other Root" -extensions authority -days 2 \
    -out other-ca.pem
request other localhost && made other.pem sign other other-ca server -days 2
# Servers send their certificate and the intermediate, as a real one does.
cat good.pem intermediate.pem >good-chain.pem
cat expired.pem intermediate.pem >expired-chain.pem
openssl pkey -in good.key -pubout -outform DER | openssl dgst -sha256 -r | cut -c1-64 >pin
head -c 300000 /dev/urandom >www/pattern.bin
chmod -R a+rX www

# NAME CERTIFICATE KEY PROTOCOLS
cases=("good good-chain.pem good.key TLSv1.2 TLSv1.3"
       "expired expired-chain.pem expired.key TLSv1.2 TLSv1.3"
       "self self.pem self.key TLSv1.2 TLSv1.3"
       "other other.pem other.key TLSv1.2 TLSv1.3"
       "old good-chain.pem good.key TLSv1 TLSv1.1")
start_nginx() {  # first port
    local port=$1 servers="" ports=""
    plain=$((port + ${#cases[@]}))
    for entry in "${cases[@]}"; do
        read -r name certificate keyfile protocols <<<"$entry"
        servers+="    server {
        listen 127.0.0.1:$port ssl;
        ssl_certificate $dir/$certificate;
        ssl_certificate_key $dir/$keyfile;
        ssl_protocols $protocols;
        ssl_ciphers DEFAULT:@SECLEVEL=0;
        root $dir/www;
        location = /to-plain/pattern.bin {
            return 302 http://127.0.0.1:$plain/pattern.bin;
        }
    }
"
        ports+="$name=$port"$'\n'
        port=$((port + 1))
    done
    {
        [ "$(id -u)" -eq 0 ] && echo "user root;"
        cat <<CONF
worker_processes 1;
error_log $dir/error.log;
pid $dir/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    default_type application/octet-stream;
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
$servers    server {
        listen 127.0.0.1:$plain;
        root $dir/www;
    }
}
CONF
    } >nginx.conf
    "$nginx" -p "$dir" -c "$dir/nginx.conf" 2>/dev/null || return 1
    printf '%s' "$ports" >ports
}
for base in $(shuf -i 20000-60000 -n 10); do
    if start_nginx "$base"; then
        start_tinyproxy "$dir" "http://127.0.0.1:$plain/pattern.bin" "ConnectPort $base"
        printf 'plain=%s\nproxy=%s\n' "$plain" "$proxy" >services
        exit 0
    fi
done
echo "nginx did not start" >&2
cat "$dir/error.log" >&2 || true
exit 1
