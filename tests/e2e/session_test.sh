#!/usr/bin/env bash
# A VBScript session through cscript and the registered DLL against the
# simulated mount of one model, on COM3. The tree's bitness picks the DLL
# and the system folder whose regsvr32, reg and cscript run it.
# Usage: session_test.sh MODEL   (paths come from the environment: see CMake)
set -uo pipefail
model=$1
: "${VELMARO_RUN_IN_WINE:?}" "${VELMARO_SIMULATOR:?}" "${VELMARO_DLL:?}" "${VELMARO_SYSTEM_DIR:?}"
tool() { printf '%s\\%s.exe' "$VELMARO_SYSTEM_DIR" "$1"; }
here=$(cd "$(dirname "$0")" && pwd)
# The simulator's end of COM3 in this test's lane.
link=$("$VELMARO_RUN_IN_WINE" --lane-dir)/mountsim
transcript=$(mktemp)

# A fast mount, so that parking arrives within the test's patience.
"$VELMARO_SIMULATOR" --model "$model" --link "$link" --transcript "$transcript" --slew-rate 40 >/dev/null &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -f "$transcript"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done

"$VELMARO_RUN_IN_WINE" "$(tool regsvr32)" /s "Z:$VELMARO_DLL" || { echo "FAIL: regsvr32"; exit 1; }
"$VELMARO_RUN_IN_WINE" "$(tool reg)" add 'HKLM\Software\ASCOM\Telescope Drivers\Velmaro.Telescope' /v COM /d 3 /f /reg:32 >/dev/null
output=$("$VELMARO_RUN_IN_WINE" "$(tool cscript)" //nologo "Z:$here/session_check.vbs" "$model" 2>&1)
"$VELMARO_RUN_IN_WINE" "$(tool reg)" add 'HKLM\Software\ASCOM\Telescope Drivers\Velmaro.Telescope' /v COM /d 1 /f /reg:32 >/dev/null
echo "$output"

checks=$(grep -c '^ok ' <<<"$output")
failures=$(grep -c '^FAIL' <<<"$output")
# Each park reached the mount as its model's own command.
case $model in 1) park=':PK#' ;; 2) park=':KA' ;; 3) park=':MP1#' ;; esac
grep -qx -- "$park" "$transcript" || { echo "FAIL: the mount never received $park"; failures=$((failures + 1)); }
# A script error stops cscript: all sixteen checks must have run.
[ "$checks" -eq 16 ] || { echo "FAIL: $checks of 16 checks ran"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ]
