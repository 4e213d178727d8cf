#!/bin/sh
# Runs a test program of real copies of Tarrowin in a network namespace of
# its own, with only the loopback interface, up: port 666 there is theirs,
# and the machine's own Interlink on port 666 is never reached. CMake runs
# the test binary through this script for listing its tests and for each
# test, so every test process gets a namespace of its own and tests running
# side by side (ctest -j) never meet.
#
# The namespace the script was started in is passed on, so that the tests
# can check that they are no longer in it. Without root (or where no
# namespace can be made) the program runs as it is, and its tests skip.
PATH="$PATH:/usr/sbin:/sbin"
host_ns=$(readlink /proc/self/ns/net)
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  export TARROWIN_HOST_NETNS="$host_ns"
  exec unshare -n -- sh -c 'ip link set lo up && exec "$0" "$@"' "$@"
fi
unset TARROWIN_HOST_NETNS
exec "$@"
