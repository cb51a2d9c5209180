#!/usr/bin/env bash
# The command-line client updating a big file by its changes against nginx, as on a real
# server: the file is changed (bytes overwritten here and there, bytes inserted, data
# appended) and published again, and the update must fetch a small share of it and end
# byte-exact; then the file copied and renamed. Then the ways it must fall back to one
# whole download: a server that ignores ranges, an index that lies; a game with
# mirrors. Last, --full heals a damaged file with few bytes.
# Bytes are counted in nginx's access log.
#
#   cli_delta.sh ZEFO TOOLS
#
# ZEFO is the client (a .exe runs under Wine: WINEPREFIX comes from the environment),
# TOOLS the native build's tools folder (zefo_publish). Every wait is bounded; the
# server listens on 127.0.0.1 only. KEEP=1 keeps the work folder for a look.
set -uo pipefail

zefo=$1 tools=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-delta.XXXXXX")
chmod 755 "$work"
source "$(dirname "$0")/../../tools/lib/nginx.sh"
cleanup() {
    nginx_stop "$work"
    if [ -n "${KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

source "$(dirname "$0")/cli_lib.sh"
expect_rc() {  # what, expected
    [ "$rc" = "$2" ] || fail "$1: exit code $rc, expected $2; output: $out; errors: $(cat "$work/err")"
}
serve() {  # [directives]: (re)starts nginx with an access log of its own
    nginx_stop "$work"
    : >"$work/access.log"
    nginx_start "$work" "$work/www" "access_log $work/access.log pipelined; $1" || fail "nginx did not start"
    server="127.0.0.1:$NGINX_PORT"
}
served() {  # path prefix: body bytes nginx sent for it since the log was last emptied
    awk -v p="$1" '$7 ~ "^"p {n += $10} END {print n + 0}' "$work/access.log"
}
requests() {  # path prefix, status: how many such answers
    awk -v p="$1" -v s="$2" '$7 ~ "^"p && $9 == s {n++} END {print n + 0}' "$work/access.log"
}
pipelined() {  # path prefix: how many requests for it came before the reply to the one before ended
    awk -v p="$1" '$7 ~ "^"p && $NF == "p" {n++} END {print n + 0}' "$work/access.log"
}
update() {  # what, [arguments]: updates, checks the result byte-exact, prints the bytes served
    : >"$work/access.log"
    client update "$(path_for_client "$installed")" "${@:2}"
    expect_rc "$1" 0
    cmp -s "$big" "$installed/data/big.bin" || fail "$1: the updated file differs from the source"
    echo "ok: $1: $(served /demo/data/big.bin) bytes of the file, $(served /demo/.zefo/) of indexes, of $(stat -c %s "$big")"
}
overwrite() {  # file offset length: random bytes in place
    head -c "$3" /dev/urandom | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

mkdir -p "$work/source/demo/data" "$work/config"
printf 'Demo Game\n' >"$work/source/demo/game.txt"
big="$work/source/demo/data/big.bin"
head -c $((16 << 20)) /dev/urandom >"$big"
size=$(stat -c %s "$big")
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "publish"
serve ""
installed="$work/installed"
client install demo "$(path_for_client "$installed")"
expect_rc "install" 0
# The install fetched the big file's index beside it and remembered it with the file,
# byte for byte as served: its first update by changes needs no chunking of the old copy.
config_root=$work/config
[ $windows = 1 ] && config_root=${WINEPREFIX:-$HOME/.wine}/drive_c
md5=$(md5sum <"$big" | cut -c1-32)
kept=$(find "$config_root" -path "*.indexes/$md5.zci" 2>/dev/null | head -n 1)
[ -n "$kept" ] && cmp -s "$kept" "$work/www/demo/.zefo/$md5.zci" || fail "the install did not remember the index"

# Overwrites here and there, an insertion and appended data, in one new version.
for offset in 1000000 5000000 9000000 13000000; do overwrite "$big" $offset 200; done
{ head -c 7000000 "$big"; head -c 5000 /dev/urandom; tail -c +7000001 "$big"; head -c 100000 /dev/urandom; } \
    >"$work/next" && mv "$work/next" "$big"
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
# The dry run tells the bytes the update will fetch, its indexes included.
: >"$work/access.log"
client update "$(path_for_client "$installed")" --dry-run
expect_rc "dry run" 0
estimate=$(awk -F'\t' '$1 == "data/big.bin" {print $2}' <<<"$out")
[[ $estimate =~ ^([0-9]+)\ of\ $(stat -c %s "$big")\ bytes$ ]] || fail "dry run printed [$out]"
planned=${BASH_REMATCH[1]}
[ "$(requests /demo/data/big.bin 206)$(requests /demo/data/big.bin 200)" = 00 ] || fail "the dry run fetched the file"
update "changes"
# The estimate is the plan: the bytes of the file plus its chunk index and block records.
[ "$planned" = $(($(served /demo/data/big.bin) + $(served /demo/.zefo/) - $(served /demo/.zefo/indexes))) ] ||
    fail "the dry run said $planned bytes"
fetched=$(served /demo/data/big.bin)
[ "$fetched" -lt $((size / 10)) ] || fail "the update fetched $fetched bytes of a $size-byte file"
[ "$(requests /demo/data/big.bin 200)" = 0 ] || fail "the update fetched the whole file"
[ "$(requests /demo/.zefo/indexes 200)" = 1 ] || fail "the manifest was not fetched once"

# The file copied unchanged and renamed with an insertion: the copy is made locally, the
# renamed one from the installed file's remembered index and few bytes. A file that is
# new while every remembered file is still listed comes whole at once: no index first.
data="$work/source/demo/data"
cp "$big" "$data/copy.bin"
{ head -c 4000000 "$big"; head -c 3000 /dev/urandom; tail -c +4000001 "$big"; } >"$data/moved.bin"
mv "$big" "$work/big.away"
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
: >"$work/access.log"
client update "$(path_for_client "$installed")"
expect_rc "renamed and copied" 0
for f in copy moved; do cmp -s "$data/$f.bin" "$installed/data/$f.bin" || fail "$f.bin differs from the source"; done
moved=$(served /demo/data/moved.bin)
[ "$(served /demo/data/copy.bin)" = 0 ] || fail "the copy was fetched"
[ "$moved" -lt $((size / 50)) ] || fail "the renamed file fetched $moved bytes"
echo "ok: renamed and copied: $moved bytes of the edited one, none of the copy"
mv "$work/big.away" "$big"
head -c $((2 << 20)) /dev/urandom >"$data/new.bin"
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
# The dry run plans as the update does: the whole file, no index looked at.
: >"$work/access.log"
client update "$(path_for_client "$installed")" --dry-run
expect_rc "a new file, dry run" 0
[ "$(requests /demo/.zefo/ 200)" = 0 ] || fail "a new file had its index asked for first"
client update "$(path_for_client "$installed")"
expect_rc "a new file" 0
cmp -s "$data/new.bin" "$installed/data/new.bin" || fail "new.bin differs from the source"
rm "$data/new.bin"

# A server that answers ranges with the whole file: one whole download, still exact.
overwrite "$big" 3000000 300
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
serve "max_ranges 0;"
update "ranges ignored"
[ "$(requests /demo/data/big.bin 200)" = 1 ] || fail "not one whole download after an ignored range"
# Ranges of the index's records served, the file's answered whole: the answer to the
# first is the download, the file's bytes are sent once (its other ranges are not asked).
for offset in 2000000 6000000 14000000; do overwrite "$big" $offset 300; done
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
serve "location /demo/data/ { max_ranges 0; }"
update "the file's ranges answered whole"
[ "$(requests /demo/data/big.bin 200)$(requests /demo/data/big.bin 206)" = 10 ] ||
    fail "the whole answer to a range was not the download"
[ "$(served /demo/data/big.bin)" = "$(stat -c %s "$big")" ] || fail "the file's bytes were sent more than once"
serve ""

# Mirrors: the first refuses the game's files, the second serves them (ranges too):
# the refusing one is asked once and set aside, the ranges come from the other and the
# server, the indexes from the server only.
ln -s . "$work/www/m"
overwrite "$big" 2000000 300
overwrite "$big" 10000000 300
"$tools/zefo_publish" "$work/source" "$work/www" --mirror "http://$server/bad" --mirror "http://$server/m" \
    >/dev/null || fail "publish with mirrors"
update "mirrors"
from_mirror=$(served /m/demo/data/big.bin)
[ "$(requests /m/demo/data/big.bin 206)" -ge 1 ] || fail "no range came from the mirror"
[ "$(requests /bad/ 404)$(requests /m/demo/.zefo/ 200)" = 10 ] || fail "the mirrors were not asked as they should"
[ $((from_mirror + $(served /demo/data/big.bin))) -lt $((size / 10)) ] || fail "the update fetched too much"
echo "ok: mirrors: $from_mirror bytes of the file from the mirror"
rm "$work/www/m"

# An index that lies about a chunk's SHA-256: the chunk fails its check, and the whole
# file comes once.
overwrite "$big" 11000000 300
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
md5=$(md5sum <"$big" | cut -c1-32)
zci="$work/www/demo/.zefo/$md5.zci"
[ -f "$zci" ] || fail "no index published for $md5"
cp "$zci" "$work/true.zci"
# The first chunk record's SHA-256 starts 8 bytes after the 112-byte header.
printf '\xff\xff\xff\xff' | dd of="$zci" bs=1 seek=120 conv=notrunc status=none
update "a lying index"
[ "$(requests /demo/data/big.bin 200)" = 1 ] || fail "the lying index did not end in one whole download"

# A file damaged in place is healed by --full with few bytes.
cp "$work/true.zci" "$zci"
overwrite "$installed/data/big.bin" 8000000 4096
update "heal with --full" --full
healed=$(served /demo/data/big.bin)
[ "$healed" -lt $((size / 10)) ] || fail "healing fetched $healed bytes"

# Over one connection, the block records and the ranges of places far apart are asked
# for before the replies to the ones before them came.
for offset in 1000000 3000000 5000000 7000000 9000000 11000000; do overwrite "$big" $offset 300; done
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"
update "requests sent ahead" --connections 1
[ "$(pipelined /demo/data/big.bin)" -ge 4 ] || fail "$(pipelined /demo/data/big.bin) ranges were sent ahead"
[ "$(pipelined /demo/.zefo/)" -ge 1 ] || fail "no block records were sent ahead"
echo "cli delta updates: all passed"
