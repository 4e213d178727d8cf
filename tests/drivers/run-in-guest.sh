#!/bin/sh
# Inside the driver-test guest: every driver test, the adapter pulled out
# last, so that the other tests find it in place.
# Usage: run-in-guest.sh TESTS_BINARY
"$1" --gtest_filter='-*DriverUnplug*' || exit 1
"$1" --gtest_filter='*DriverUnplug*'
