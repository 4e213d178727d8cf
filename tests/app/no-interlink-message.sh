#!/bin/sh
# tarrowin-link's message when no Interlink answers: with no copy running it
# says so; with a copy running that may not listen on port 666 (no
# cap_net_bind_service) it names that copy and the setcap line that helps,
# and the exit code stays 3 in both cases.
# Usage: no-interlink-message.sh TARROWIN TARROWIN-LINK
# The copy and tarrowin-link run as an unprivileged user (nobody), as a
# copy started from the build folder does. Needs root (a network namespace
# of its own, where port 666 is free, and setpriv); skips (77) otherwise.
set -u
app=$(realpath "$1")
link=$(realpath "$2")
PATH="$PATH:/usr/sbin:/sbin"
if [ "${TARROWIN_IN_NS:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null || ! command -v setpriv >/dev/null; then
    echo "SKIP: needs root, unshare -n and setpriv"; exit 77
  fi
  exec unshare -n env TARROWIN_IN_NS=1 sh "$0" "$@"
fi
ip link set lo up
work=$(mktemp -d)
chown 65534:65534 "$work"
user="setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all env HOME=$work XDG_CONFIG_HOME=$work"
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

$user "$link" send x 2>"$work/err"; rc=$?
[ $rc = 3 ] || fail "no copy: exit code $rc, not 3"
grep -q "keine Kopie von Tarrowin l" "$work/err" || fail "no copy: $(cat "$work/err")"
echo "ok: no copy: $(cat "$work/err")"

# A copy without the capability: its election fails with 10013 and it runs
# on without the Interlink (its box stays open, which keeps it running).
$user QT_QPA_PLATFORM=offscreen "$app" >"$work/app.log" 2>&1 &
pid=$!
i=0
while :; do
  $user "$link" send x 2>"$work/err"; rc=$?
  grep -q "PID $pid" "$work/err" && break
  i=$((i + 1)); [ $i -le 50 ] || fail "copy without the capability not named: $(cat "$work/err")"
  sleep 0.2
done
[ $rc = 3 ] || fail "copy without the capability: exit code $rc, not 3"
grep -q "setcap cap_net_bind_service=+ep $app" "$work/err" || fail "no setcap line: $(cat "$work/err")"
echo "ok: copy without the capability: $(cat "$work/err")"
echo "2 passed, 0 failed"
