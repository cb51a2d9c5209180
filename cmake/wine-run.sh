#!/bin/sh
# Runs a Windows executable under Wine for ctest. The test command sets WINEPREFIX
# to a prefix of its own and keeps a wineserver alive for the whole run.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/zefo-wine-$(id -u)}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
