#!/bin/sh
# make DIR:  a fresh Wine prefix in DIR, its server left up.
# up DIR:    the prefix's server and services, started detached, so that
#            they hold no caller's output open and serve every later call.
# down DIR:  ends that server.
# With PORTCHECK_WINE_ARCH=x86, of the Wine that also runs 32-bit programs
# (scripts/wine.sh).
set -u
action=$1
wine=$(dirname "$0")/wine.sh
export WINEPREFIX=$2 WINEDEBUG=-all
# No prompts to fetch Mono or Gecko: nothing here needs either.
export WINEDLLOVERRIDES="mscoree,mshtml="
case $action in
  make)
    sh "$wine" --server -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    sh "$wine" --server -p >/dev/null 2>&1 </dev/null
    # Into a file: the services wineboot starts keep their output open.
    sh "$wine" wineboot -i >"$WINEPREFIX.log" 2>&1 </dev/null || {
      tail -n 5 "$WINEPREFIX.log"
      rm -f "$WINEPREFIX.log"
      echo "wine-prefix: Wine could not make a prefix in $WINEPREFIX"
      exit 1
    }
    rm -f "$WINEPREFIX.log"
    ;;
  up)
    # Refused when the prefix's server is already up, which is as good.
    sh "$wine" --server -p >/dev/null 2>&1 </dev/null || true
    # Its services too: started by a later call, they would hold its output open.
    sh "$wine" wineboot >/dev/null 2>&1 </dev/null
    ;;
  down)
    sh "$wine" --server -k >/dev/null 2>&1
    exit 0
    ;;
esac
