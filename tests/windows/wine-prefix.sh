#!/bin/sh
# start DIR: a fresh Wine prefix in DIR, with a server that outlives the test
#            (started detached, so it holds no test's output open).
# stop DIR:  ends that server.
set -u
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all
# No prompts to fetch Mono or Gecko: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
case $action in
  start)
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null
    wine wineboot -i >/dev/null 2>&1 </dev/null
    ;;
  stop)
    wineserver -k >/dev/null 2>&1
    exit 0
    ;;
esac
