#!/bin/sh
# Tries the Debian package as a user gets it, in a throw-away root:
#   - the package's version is the project's, its metainfo and desktop entry
#     are valid, and its Depends name the owner of every library it loads;
#   - installed with dpkg, /usr/bin/tarrowin carries exactly
#     cap_net_bind_service=ep;
#   - an unprivileged user starts it with no box, it listens on
#     127.0.0.1:666, and that user's tarrowin-link send reaches it;
#   - without the capability the same start shows the bind error and
#     tarrowin-link names the copy and the setcap line;
#   - purging the package leaves nothing of it but the user's settings.
#
# The throw-away root is an overlay over this machine's own root (a Debian
# system with the package's dependencies installed, as building it needs
# them): dpkg, the user and everything the test writes land in a temporary
# upper layer that is dropped at the end, in a mount and network namespace of
# its own (port 666 and the X display are the test's alone). Nothing is
# fetched, so the test runs offline and in seconds.
#
# Usage: test-deb.sh PACKAGE.deb   (as root)
set -u
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
PATH="$PATH:/usr/sbin:/sbin"
passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
bad() { echo "FAIL: $*"; failed=$((failed + 1)); }
finish() { echo "$passed passed, $failed failed"; [ "$failed" = 0 ]; exit $?; }

if [ "${TARROWIN_DEB_INNER:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ] || ! unshare -m -n true 2>/dev/null; then
    echo "test-deb: needs root (a mount and network namespace for the throw-away root)"; exit 1
  fi
  # --- Checks of the package file itself -----------------------------------
  version=$(sed -n 's/^project(Tarrowin VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
  pkgversion=$(dpkg-deb -f "$deb" Version)
  [ "$pkgversion" = "$version" ] && ok "package version $pkgversion is the project's" ||
    bad "package version $pkgversion, project version $version (debian/changelog)"
  x=$(mktemp -d); trap 'rm -rf "$x"' EXIT
  dpkg-deb -x "$deb" "$x"
  appstreamcli validate --no-net --pedantic "$x"/usr/share/metainfo/*.metainfo.xml >"$x.as" 2>&1 &&
    ok "metainfo valid" || bad "metainfo: $(cat "$x.as")"
  desktop-file-validate "$x/usr/share/applications/tarrowin.desktop" >"$x.dv" 2>&1 && [ ! -s "$x.dv" ] &&
    ok "desktop entry valid" || bad "desktop entry: $(cat "$x.dv")"
  rm -f "$x.as" "$x.dv"
  depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//;s/[ (].*//' | tr '\n' ' ')
  missing=""
  for bin in "$x/usr/bin/tarrowin" "$x/usr/bin/tarrowin-link"; do
    for lib in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64|64bit/ {print $NF; exit}')
      owner=$(dpkg -S "$(realpath "$path")" 2>/dev/null | head -1 | cut -d: -f1)
      case " $depends " in *" $owner "*) ;; *) missing="$missing $lib($owner)";; esac
    done
  done
  [ -z "$missing" ] && ok "Depends name the owner of every library loaded" || bad "not in Depends:$missing"
  rm -rf "$x"; trap - EXIT
  # --- The throw-away root -------------------------------------------------
  work=$(mktemp -d /tmp/tarrowin-deb.XXXXXX)
  TARROWIN_DEB_INNER=1 TARROWIN_DEB_WORK=$work TARROWIN_DEB_PASSED=$passed TARROWIN_DEB_FAILED=$failed \
    unshare -m -n sh "$0" "$deb"
  rc=$?
  rm -rf "$work"
  exit $rc
fi

passed=$TARROWIN_DEB_PASSED failed=$TARROWIN_DEB_FAILED
work=$TARROWIN_DEB_WORK
root=$work/root
mkdir -p "$work/upper" "$work/w" "$root"
mount --make-rprivate /
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/w" "$root" || { bad "overlay"; finish; }
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
mount -t tmpfs tmpfs "$root/run"
ip link set lo up
cp "$deb" "$root/tmp/tarrowin.deb"
in_root() { chroot "$root" "$@"; }
user="chroot --userspec=tester:tester $root env -i HOME=/home/tester PATH=/usr/bin:/bin LANG=C.UTF-8 DISPLAY=:7"
# $user before a command runs it as the unprivileged user (a simple command,
# so that $! of a background start is the program's own PID).

in_root dpkg -i /tmp/tarrowin.deb >"$work/dpkg-i.log" 2>&1 && ok "dpkg -i" || { bad "dpkg -i: $(cat "$work/dpkg-i.log")"; finish; }
cap=$(in_root getcap /usr/bin/tarrowin)
[ "$cap" = "/usr/bin/tarrowin cap_net_bind_service=ep" ] && ok "capability: $cap" || bad "capability: '$cap'"
in_root man -w tarrowin-link >/dev/null 2>&1 && in_root man -w -L de tarrowin 2>/dev/null | grep -q /de/ &&
  ok "manual pages found by man (en, de)" || bad "manual pages not found by man"
in_root useradd -m -U tester

# Everything started in the background is a simple command, so that $! is
# the program's own PID, and is ended when the test ends, however it ends.
started=""
stop() { for p in $started; do kill "$p" 2>/dev/null; done; for p in $started; do wait "$p" 2>/dev/null; done; started=""; }
trap stop EXIT
chroot "$root" Xvfb :7 -nolisten tcp -ac -screen 0 800x600x24 >"$work/xvfb.log" 2>&1 &
started="$!"
i=0; until in_root xdpyinfo -display :7 >/dev/null 2>&1; do i=$((i + 1)); [ $i -le 50 ] || { bad "Xvfb"; finish; }; sleep 0.2; done

# Waits for a top-level window with this name; prints the names of all.
window() { i=0; until in_root xwininfo -display :7 -name "$1" >/dev/null 2>&1; do
  i=$((i + 1)); [ $i -le 75 ] || return 1; sleep 0.2; done; }
names() { for id in $(in_root xwininfo -display :7 -root -tree | sed -n 's/^ *\(0x[0-9a-f]*\) ".*/\1/p'); do
  in_root xwininfo -display :7 -id "$id" | awk '/xwininfo: Window id/ {n = $0; sub(/^[^"]*"/, "", n); sub(/"[^"]*$/, "", n)}
    /Map State: IsViewable/ {print n}'; done | sort -u | tr '\n' '|'; }

# --- With the capability: the Interlink server, no box --------------------
$user tarrowin >"$work/app1.log" 2>&1 &
app=$!; started="$started $app"
if window "Tarrowin (Interlink Server)"; then
  sleep 1
  # A box would be a second visible window of the program, named "Tarrowin".
  if names | grep -q '^Tarrowin|\||Tarrowin|'; then bad "a box was shown: $(names)"; else ok "starts as Interlink server, no box"; fi
else
  bad "no Interlink server window: $(names)"
fi
ss -ltnpH 'sport = :666' | grep -q '127.0.0.1:666 .*"tarrowin"' && ok "listens on 127.0.0.1:666" ||
  bad "not listening: $(ss -ltnp)"
$user tarrowin-link monitor >"$work/monitor.log" 2>&1 &
monitor=$!; started="$started $monitor"
sleep 0.5
$user tarrowin-link send --timeout 2 'hello#33' >"$work/send.log" 2>&1; rc=$?
sleep 0.3
# No port is open on a first start, so no copy reports it sent (6); the
# server relayed the command to every peer, the monitor included.
[ $rc = 6 ] && grep -q '^SEND hello#33' "$work/monitor.log" && ok "tarrowin-link send reaches it (exit 6, relayed)" ||
  bad "send: exit $rc, $(cat "$work/send.log"), monitor: $(cat "$work/monitor.log")"
kill $monitor $app; wait $monitor $app 2>/dev/null
[ -f "$root/home/tester/.config/Brenlow/Tarrowin.reg" ] && ok "settings saved at close" || bad "no settings file"

# --- Without the capability: the bind error, and tarrowin-link says why ---
in_root setcap -r /usr/bin/tarrowin
$user tarrowin >"$work/app2.log" 2>&1 &
app=$!; started="$started $app"
sleep 3
names | grep -q '^Tarrowin|\||Tarrowin|' && ! names | grep -q Interlink &&
  ok "without the capability: its bind error box and a plain window ($(names))" || bad "windows: $(names)"
$user tarrowin-link send x >"$work/send2.log" 2>&1; rc=$?
[ $rc = 3 ] && grep -q "PID $app).*setcap cap_net_bind_service=+ep /usr/bin/tarrowin" "$work/send2.log" &&
  ok "tarrowin-link: $(cat "$work/send2.log")" || bad "without the capability: exit $rc, $(cat "$work/send2.log")"
kill $app; wait $app 2>/dev/null
in_root setcap cap_net_bind_service=ep /usr/bin/tarrowin

# --- Purge: nothing of it left but the user's settings ---------------------
files=$(dpkg-deb -c "$root/tmp/tarrowin.deb" | awk '{print $6}' | sed 's#^\.##' | grep -v '/$')
in_root dpkg --purge tarrowin >"$work/purge.log" 2>&1 && ok "dpkg --purge" || bad "purge: $(cat "$work/purge.log")"
left=""
for f in $files; do [ -e "$root$f" ] && left="$left $f"; done
# Whatever else the upper layer holds that names the program: the user's
# settings and captures are theirs; dpkg's and apt's logs keep history.
named=$(cd "$work/upper" && find . -iname '*tarrowin*' -o -path './var/lib/dpkg/info/*' -name 'tarrowin*' |
  grep -v -e '^./home/tester/\.config/Brenlow' -e '^./tmp/' || true)
mentioned=$(cd "$work/upper" && grep -rlsi tarrowin . 2>/dev/null |
  grep -v -e '^./home/tester/' -e '^./tmp/' -e '^./var/log/' -e '^./var/lib/dpkg/.*-old$' -e '^./var/cache/man/' || true)
# man's index may keep stale bytes of the removed pages; man must not find them.
in_root man -w tarrowin >/dev/null 2>&1 && mentioned="$mentioned man -w tarrowin"
[ -z "$left$named$mentioned" ] && ok "nothing left after purge but the user's settings" ||
  bad "left after purge:$left $named $mentioned"

stop
finish
