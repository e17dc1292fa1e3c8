#!/usr/bin/env bash
# The Windows server, VelmaroAlpaca.exe, under the server's protocol tests
# (the native program of the Linux tree) in this test's Wine lane: every
# rule of the protocol, the management API, transaction numbers, refusals,
# the UniqueID over a restart, discovery by datagram, and a simulated mount
# on one of the lane's COM ports.
set -euo pipefail
lane=$("$VELMARO_RUN_IN_WINE" --lane-dir)
export WINEPREFIX="$lane/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export VELMARO_TEST_WINE_PREFIX="$WINEPREFIX"
export VELMARO_TEST_SERVER="/usr/lib/wine/wine64 $VELMARO_DIST_DIR/x64/VelmaroAlpaca.exe"
exec "$VELMARO_PROTOCOL_TESTS" --gtest_brief=1
