#!/bin/sh
# make DIR:  a fresh Wine prefix in DIR, its server left up.
# up DIR:    the prefix's server, started detached, so that it holds no
#            caller's output open and serves every later wine call at once.
# down DIR:  ends that server.
set -u
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all
# No prompts to fetch Mono or Gecko: nothing here needs either.
export WINEDLLOVERRIDES="mscoree,mshtml="
case $action in
  make)
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null
    sh "$(dirname "$0")/wine.sh" wineboot -i >/dev/null 2>&1 </dev/null
    ;;
  up)
    # Refused when the prefix's server is already up, which is as good.
    wineserver -p >/dev/null 2>&1 </dev/null || true
    ;;
  down)
    wineserver -k >/dev/null 2>&1
    exit 0
    ;;
esac
