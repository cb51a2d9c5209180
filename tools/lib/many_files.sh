# A game of many small files, the proxy that adds a round-trip time, and curl
# fetching the game's files: shared by the benchmarks that time updates of many
# files. Sourced by their scripts.
#
#   many_files_publish WORK NATIVE FILES   publishes game "many" (FILES files of 4 KB
#                                          in 40 folders) from WORK/source into WORK/www
#   many_files_paths WORK                  the listed paths, one a line
#   latency_proxy_start WORK NATIVE PORT RTT
#                                          a proxy to 127.0.0.1:PORT adding RTT ms a round
#                                          trip; sets PROXY_PORT and PROXY_PID
#   timed COMMAND...                       runs it quietly, exits on failure; sets elapsed
#   run_curl WORK PORT [OPTIONS...]        curl fetches every listed file into WORK/curl; timed
#   ratio A B                              A / B

many_files_publish() {
    local work=$1 native=$2 files=$3
    echo "publishing a game of $files files of 4 KB"
    local game=$work/source/many
    mkdir -p "$game"
    printf 'Many Files\n' >"$game/game.txt"
    local i folder
    for ((i = 0; i < files; i++)); do
        folder=$game/data/folder$((i % 40))
        [ -d "$folder" ] || mkdir -p "$folder"
        head -c 4096 /dev/urandom >"$folder/file$i.pak"
    done
    "$native/tools/zefo_publish" "$work/source" "$work/www" >/dev/null
}

many_files_paths() {
    sed -e 's/^\[data\]//' -e 's/\[\/data\]$//' "$1/www/many/index.html" | tr '|' '\n' | cut -d: -f1 | grep -v '^$'
}

latency_proxy_start() {
    local work=$1 native=$2 port=$3 rtt=$4
    "$native/tools/latency_proxy" 0 "$port" $((rtt / 2)) >"$work/proxy.out" &
    PROXY_PID=$!
    # The proxy's port is on its first output line.
    PROXY_PORT=""
    for _ in $(seq 50); do
        PROXY_PORT=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/proxy.out")
        [ -n "$PROXY_PORT" ] && return 0
        sleep 0.1
    done
    echo "the proxy did not start" >&2
    return 1
}

# curl's configuration: every listed file's URL and a place for it.
many_files_curl_config() {  # work, port
    many_files_paths "$1" | sed 's/ /%20/g' | while read -r path; do
        printf 'url = "http://127.0.0.1:%s/many/%s"\noutput = "%s/curl/%s"\n' "$2" "$path" "$1" "$path"
    done
}

now() { date +%s.%N; }
elapsed=0
timed() {  # command...
    local start
    # What the step before left to write back is not this one's time.
    sync
    start=$(now)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    elapsed=$(echo "$(now) - $start" | bc -l)
}
run_curl() {  # work, port, extra options...
    local work=$1 port=$2
    shift 2
    rm -rf "$work/curl"
    many_files_curl_config "$work" "$port" >"$work/curl.conf"
    timed curl -s --create-dirs "$@" -K "$work/curl.conf"
}
ratio() { echo "$1 / $2" | bc -l; }
