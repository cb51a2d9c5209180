#!/usr/bin/env bash
# The command-line client against nginx serving a published game, as on a real server:
# install, verify, a republish, verify and a dry run that show the change, the update,
# and verify again.
#
#   cli_nginx.sh ZEFO TOOLS
#
# ZEFO is the client (a .exe runs under Wine: WINEPREFIX comes from the environment),
# TOOLS the native build's tools folder (zefo_publish). Every wait is bounded; the
# server listens on 127.0.0.1 only.
set -uo pipefail

zefo=$1 tools=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/zefo-cli.XXXXXX")
source "$(dirname "$0")/../../tools/lib/nginx.sh"
cleanup() {
    nginx_stop "$work"
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "$0")/cli_lib.sh"
expect_rc() {  # what, expected
    [ "$rc" = "$2" ] || fail "$1: exit code $rc, expected $2; output: $out; errors: $(cat "$work/err")"
    echo "ok: $1"
}
same_tree() { diff -r --exclude=game.txt --exclude=game.dat "$work/source/demo" "$1" >/dev/null; }

mkdir -p "$work/source/demo/data/maps" "$work/config"
printf 'Demo Game\n' >"$work/source/demo/game.txt"
printf 'first edition\r\n' >"$work/source/demo/readme.txt"
head -c 3000000 /dev/urandom >"$work/source/demo/data/maps/level one.bin"
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "publish"

nginx_start "$work" "$work/www" || fail "nginx did not start"
server="127.0.0.1:$NGINX_PORT"

# The big file's chunk indexes are served from the hidden folder, by ranges too.
md5=$(md5sum <"$work/source/demo/data/maps/level one.bin" | cut -c1-32)
[ "$(curl -s --max-time 10 "http://$server/demo/.zefo/indexes")" = "$md5 3000000" ] || fail "the index manifest"
curl -s --max-time 10 -r 112-151 -o "$work/range" "http://$server/demo/.zefo/$md5.zci" || fail "a range of the .zci"
cmp -s "$work/range" <(tail -c +113 "$work/www/demo/.zefo/$md5.zci" | head -c 40) || fail "the range's bytes"
echo "ok: indexes served"

installed="$work/installed"
client games
expect_rc "games" 0
[ "$out" = $'demo\tDemo Game' ] || fail "games printed [$out]"

client install demo "$(path_for_client "$installed")"
expect_rc "install" 0
same_tree "$installed" || fail "the installed files differ from the source"
[ -f "$installed/data/game.dat" ] || fail "no data/game.dat"

client verify "$(path_for_client "$installed")"
expect_rc "verify after install" 0

# The game maker changes a file and adds one, then publishes again.
printf 'second edition\r\n' >"$work/source/demo/readme.txt"
printf 'new map' >"$work/source/demo/data/maps/level two.bin"
"$tools/zefo_publish" "$work/source" "$work/www" >/dev/null || fail "republish"

client verify "$(path_for_client "$installed")"
expect_rc "verify after the republish" 1
[ "$(sort <<<"$out")" = $'changed\treadme.txt\nmissing\tdata/maps/level two.bin' ] || fail "verify printed [$out]"

client update "$(path_for_client "$installed")" --dry-run
expect_rc "dry run" 0
grep -qx $'readme.txt\twhole file' <<<"$out" && grep -qx $'data/maps/level two.bin\twhole file' <<<"$out" ||
    fail "dry run printed [$out]"
grep -q 'first edition' "$installed/readme.txt" || fail "the dry run changed a file"

client update "$(path_for_client "$installed")"
expect_rc "update" 0
grep -q 'The game has been updated successfully .' <<<"$out" || fail "update printed [$out]"
same_tree "$installed" || fail "the updated files differ from the source"

client verify "$(path_for_client "$installed")"
expect_rc "verify after the update" 0
echo "cli against nginx: all passed"
