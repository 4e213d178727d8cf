#!/bin/sh
# Starts the program on a virtual X screen and writes its window to a PNG.
# Usage: tools/screenshot.sh BINARY OUTPUT.png
set -eu
bin=$(realpath "$1")
out=$2
mkdir -p "$(dirname "$out")"
out=$(realpath "$out")
# A private settings folder: the picture shows the window as a first start
# does, whatever this machine has stored.
cfg=$(mktemp -d)
trap 'rm -rf "$cfg"' EXIT
XDG_CONFIG_HOME=$cfg xvfb-run -a -s "-screen 0 800x600x24" sh -c '
  "$0" & pid=$!
  i=0
  until xwininfo -name Tarrowin >/dev/null 2>&1; do
    i=$((i + 1))
    if [ $i -gt 50 ]; then echo "window did not appear" >&2; kill $pid; exit 1; fi
    sleep 0.2
  done
  sleep 1
  import -window Tarrowin "$1"
  kill $pid; wait $pid 2>/dev/null || true
' "$bin" "$out"
echo "wrote $out"
