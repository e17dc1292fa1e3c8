#!/usr/bin/env bash
# The Windows server, VelmaroAlpaca.exe, under one of the server's test
# programs of the Linux tree (its path the one argument), in this test's
# Wine lane: the protocol tests (every rule of the protocol, management,
# transaction numbers, refusals, the UniqueID over a restart, discovery by
# datagram), the members tests (every member per model, the exact commands
# at the simulated mount, on one of the lane's COM ports), the motion tests
# (what clients are told while the mount parks, aborts and slews), the
# sharing tests (many clients on one mount, a mount that vanishes), the
# lifecycle tests (options, refused starts, config and state, Ctrl+C and a
# kill mid-slew, device loss, trace, log), the HTTP limits (slow and
# flooding clients), the simulate tests (the server's own simulated mount) or
# the link tests (a device that goes and comes back, a silent mount).
set -euo pipefail
program=${1:?the test program}
lane=$("$VELMARO_RUN_IN_WINE" --lane-dir)
export WINEPREFIX="$lane/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export VELMARO_TEST_WINE_PREFIX="$WINEPREFIX"
export VELMARO_TEST_SERVER="/usr/lib/wine/wine64 $VELMARO_DIST_DIR/x64/VelmaroAlpaca.exe"
exec "$program" --gtest_brief=1
