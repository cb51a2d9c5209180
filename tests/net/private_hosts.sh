#!/bin/sh
# Runs a test program with a hosts file of its own, in which dual.zefo.test has
# both loopback addresses (::1 first): the file is bound over /etc/hosts in a user
# and mount namespace of the program's. Exits 77 (skipped) where no such namespace
# can be made. Usage: private_hosts.sh PROGRAM [ARGUMENT...]
hosts=$(mktemp) || exit 1
trap 'rm -f "$hosts"' EXIT
printf '::1 dual.zefo.test\n127.0.0.1 dual.zefo.test\n' >"$hosts"
if ! unshare -rm /bin/sh -c 'mount --bind "$0" /etc/hosts' "$hosts" 2>/dev/null; then
    echo "no mount namespace for a private /etc/hosts here"
    exit 77
fi
ZEFO_TEST_PRIVATE_HOSTS=1 unshare -rm /bin/sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$hosts" "$@"
