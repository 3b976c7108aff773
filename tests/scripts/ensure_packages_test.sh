#!/bin/sh
# The test command's installs against a stand-in apt-get: an index that fails
# to update must not stop an install that can go on, a failed install must
# stop with apt's own reason, and each missing package is asked for once;
# run.sh and demo.sh stop with status 2 when theirs fails.
# Argument: the top of the source tree.
top=$1
stubs=$(mktemp -d) || exit 1
trap 'rm -rf "$stubs"' EXIT
cat >"$stubs/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUBS/calls"
case $* in
  *update*) [ "$UPDATE" = ok ] && exit 0
    echo "E: Failed to fetch .../i386/Packages  File has unexpected size. Mirror sync in progress?"
    exit 100 ;;
  *install*) [ "$INSTALL" = ok ] && exit 0
    echo "E: Unable to locate package nosuch"
    exit 100 ;;
esac
STUB
cat >"$stubs/dpkg-query" <<'STUB'
#!/bin/sh
shift 2
for p in $INSTALLED; do echo "$p=ii "; done
for p in "$@"; do case " $INSTALLED " in *" $p "*) ;; *) echo "$p=un "; esac; done
STUB
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
chmod +x "$stubs/apt-get" "$stubs/dpkg-query" "$stubs/id"

failed=0
# title | update | install | installed | status | text the output must hold | apt-get calls
while IFS='|' read -r title update install installed status text calls; do
  rm -f "$stubs/calls"
  output=$(PATH="$stubs:$PATH" STUBS=$stubs UPDATE=$update INSTALL=$install INSTALLED=$installed \
    sh -c '. "$1/scripts/common.sh"; ensure_packages b a b' sh "$top" 2>&1)
  got=$?
  said=$(cat "$stubs/calls" 2>/dev/null | tr '\n' ';')
  if [ "$got" != "$status" ] || [ "$said" != "$calls" ] ||
    { [ -n "$text" ] && ! printf '%s' "$output" | grep -qF "$text"; }; then
    echo "FAILED: $title: status $got (want $status), calls '$said' (want '$calls'), output:"
    echo "$output"
    failed=$((failed + 1))
  fi
done <<'CASES'
a stale index still installs|fail|ok||0|apt-get update failed for some index|apt-get update -q;apt-get install -y -q a b;
a failed install stops with apt's reason|ok|fail||1|E: Unable to locate package nosuch|apt-get update -q;apt-get install -y -q a b;
only what is missing is asked for|ok|ok|b|0|Installing: a|apt-get update -q;apt-get install -y -q a;
nothing missing, nothing run|fail|fail|a b|0||
CASES
# The commands that run the program: their own failures must not look like
# the program's statuses (0, 1 and -1), so a failed install exits 2.
for command in run.sh demo.sh; do
  output=$(PATH="$stubs:$PATH" STUBS=$stubs UPDATE=ok INSTALL=fail INSTALLED="" \
    sh "$top/scripts/$command" 2>&1)
  got=$?
  if [ "$got" != 2 ]; then
    echo "FAILED: $command with a failed install: status $got (want 2), output:"
    echo "$output"
    failed=$((failed + 1))
  fi
done
echo "$((6 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
