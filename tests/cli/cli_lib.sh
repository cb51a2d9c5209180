# What the command-line client's scripted tests share: `zefo` (the client, a .exe runs
# under Wine), `work` (the test's folder) and `server` are the caller's.

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The client's own view of a folder: Wine reaches the host's files through Z:.
windows=0
[[ $zefo == *.exe ]] && windows=1
path_for_client() { if [ $windows = 1 ]; then echo "Z:$1"; else echo "$1"; fi; }
client() {  # arguments... ; sets rc, out
    local run=("$zefo")
    [ $windows = 1 ] && run=(wine "$zefo")
    out=$(XDG_CONFIG_HOME="$work/config" LANG=C.UTF-8 timeout 120 "${run[@]}" "$@" --server "$server" 2>"$work/err" |
          tr -d '\r')
    rc=${PIPESTATUS[0]}
}
