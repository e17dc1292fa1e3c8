#!/usr/bin/env bash
# Both DLLs registered at once, each by its own bitness's regsvr32, as on a
# user's 64-bit Windows: each class registration points at its own DLL, the
# profile is one (the 32-bit view), and unregistering one bitness leaves the
# other working with the user's port. The profile goes with the last one.
set -uo pipefail
: "${VELMARO_RUN_IN_WINE:?}" "${VELMARO_DIST_DIR:?}"
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

x64_dll="Z:$VELMARO_DIST_DIR/x64/Velmaro.DLL"
x86_dll="Z:$VELMARO_DIST_DIR/x86/Velmaro.DLL"
# Each tool of its own bitness, by loader and by folder.
run64() { local tool=$1; shift; VELMARO_WINE_LOADER=/usr/lib/wine/wine64 "$VELMARO_RUN_IN_WINE" "C:\\windows\\system32\\$tool.exe" "$@"; }
run32() { local tool=$1; shift; VELMARO_WINE_LOADER=/usr/lib/wine/wine "$VELMARO_RUN_IN_WINE" "C:\\windows\\syswow64\\$tool.exe" "$@"; }

class='HKLM\Software\Classes\CLSID\{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}\InprocServer32'
profile='HKLM\Software\ASCOM\Telescope Drivers\Velmaro.Telescope'
# The default value of a key in one view (64 or 32), or nothing.
value() {
    local which=(/ve)
    [ -n "$2" ] && which=(/v "$2")
    run64 reg query "$1" "${which[@]}" "/reg:$3" 2>/dev/null | tr -d '\r' | awk -F'    ' 'NF >= 4 {print $4}'
}
exists() { run64 reg query "$1" "/reg:$2" >/dev/null 2>&1; }

# A script client of one bitness: creates the driver, connects and prints
# the failure text (the stored port has no device), or "created".
client() {
    local script
    script=$(mktemp --suffix=.vbs)
    printf '%s\r\n' 'On Error Resume Next' 'Set t = CreateObject("Velmaro.Telescope")' \
        'If Err.Number <> 0 Then WScript.Echo "cannot create": WScript.Quit 1' \
        't.Connected = True' 'WScript.Echo Err.Description' >"$script"
    "run$1" cscript //nologo "Z:$script" 2>&1 | tr -d '\r'
    rm -f "$script"
}

register_both() {
    run64 regsvr32 /s "$x64_dll" || fail "64-bit regsvr32 of the x64 DLL"
    run32 regsvr32 /s "$x86_dll" || fail "32-bit regsvr32 of the x86 DLL"
}

register_both
[ "$(value "$class" "" 64)" = "${x64_dll//\//\\}" ] || fail "64-bit class points at '$(value "$class" "" 64)'"
[ "$(value "$class" "" 32)" = "${x86_dll//\//\\}" ] || fail "32-bit class points at '$(value "$class" "" 32)'"
exists "$profile" 32 || fail "no profile in the 32-bit view"
exists "$profile" 64 && fail "a profile in the 64-bit view"

# A port stored by one bitness is the port the other uses (COM9 has no device).
run32 reg add "$profile" /v COM /d 9 /f /reg:32 >/dev/null
[ "$(client 64)" = "Cannot open port COM9!" ] || fail "64-bit client after a stored 9: $(client 64)"
[ "$(client 32)" = "Cannot open port COM9!" ] || fail "32-bit client after a stored 9: $(client 32)"

# One bitness out: the other keeps its class, ProgIDs, profile and port.
for out in 32 64; do
    if [ $out = 32 ]; then stays=64; run32 regsvr32 /u /s "$x86_dll" || fail "32-bit regsvr32 /u"
    else stays=32; run64 regsvr32 /u /s "$x64_dll" || fail "64-bit regsvr32 /u"; fi
    exists "$class" $out && fail "the $out-bit class is still registered"
    exists "$class" $stays || fail "the $stays-bit class went with the $out-bit one"
    [ "$(value "$profile" COM 32)" = 9 ] || fail "the port went with the $out-bit unregistration"
    [ "$(client $stays)" = "Cannot open port COM9!" ] || fail "$stays-bit client after $out-bit unregistration: $(client $stays)"
    [ "$(client $out)" = "cannot create" ] || fail "$out-bit client still creates the driver"
    register_both
done

# Both out: nothing of ours remains.
run64 regsvr32 /u /s "$x64_dll" || fail "64-bit regsvr32 /u"
run32 regsvr32 /u /s "$x86_dll" || fail "32-bit regsvr32 /u"
for view in 32 64; do
    exists "$profile" $view && fail "the profile survived the last unregistration ($view-bit view)"
    exists "$class" $view && fail "a class key survived ($view-bit view)"
    exists 'HKCR\Velmaro.Telescope' $view && fail "the ProgID survived ($view-bit view)"
done
exists 'HKCR\TypeLib\{0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60}' 64 && fail "the type library key survived"

# Left registered, as the other tests expect.
register_both
run64 reg add "$profile" /v COM /d 1 /f /reg:32 >/dev/null
[ $failures -eq 0 ] && echo "ok: side by side"
[ $failures -eq 0 ]
