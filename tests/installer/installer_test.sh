#!/usr/bin/env bash
# The Windows installer as users run it, in fresh Wine prefixes of its own
# (never the harness's): a win64 one with the 32-bit loader, as 64-bit
# Windows, and a win32 one, as 32-bit Windows. Prints "ok:" or "FAIL:" per
# check and exits non-zero if any failed.
#
#   win64: Setup /S installs and registers both DLLs in their own views, the
#          profile and the uninstall entry; a 64-bit and a 32-bit cscript
#          session reach the simulated mount through the installed driver;
#          reinstall and upgrade keep the stored port; a failed upgrade
#          leaves the installed copy as it was; silent uninstall leaves
#          nothing of ours; a failed install (damaged DLL, read-only folder)
#          exits non-zero and leaves nothing.
#          With /SERVER /LOGON it adds the Alpaca server, its Start-menu
#          entry and its Startup entry; the installed server serves and keeps
#          its config in ProgramData; uninstall leaves nothing.
#   win32: the same Setup installs the x86 DLL only, and no server even when
#          asked; a 32-bit session works; uninstall leaves nothing.
#
# Environment (set by CMake): VELMARO_DIST_DIR, VELMARO_SIMULATOR,
# VELMARO_SOURCE_DIR; VELMARO_INSTALLER_TEST_DIR overrides the work folder.
set -uo pipefail
: "${VELMARO_DIST_DIR:?}" "${VELMARO_SIMULATOR:?}" "${VELMARO_SOURCE_DIR:?}"
work=${VELMARO_INSTALLER_TEST_DIR:-$VELMARO_SOURCE_DIR/build/installer-test}
version=$(sed -n 's/.*VALUE "ProductVersion", "\([0-9.]*\)".*/\1/p' "$VELMARO_SOURCE_DIR/dll/Velmaro.rc")
setup=$VELMARO_DIST_DIR/Velmaro-$version-Setup.exe
[ -f "$setup" ] || { echo "FAIL: $setup is missing (make installer)"; exit 1; }

export WINEDEBUG=-all
# No Mono or Gecko downloads: there is no network, and nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine copies each Start-menu entry into the desktop's own menus, under the
# XDG folders: this test's, not this machine's user's.
export XDG_DATA_HOME=$work/xdg-data XDG_CONFIG_HOME=$work/xdg-config
# Silent runs open no window; nothing of ours lands on anybody's display.
unset DISPLAY
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
# Setup is a 32-bit program: where none runs, there is nothing to test (77:
# ctest's skip).
if ! why=$("$VELMARO_SOURCE_DIR/tests/wine/harness" runs32); then
    echo "SKIP: the installer cannot run: $why"
    exit 77
fi

failures=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local label=$1; shift; if "$@"; then ok "$label"; else fail "$label"; fi; }
started=$SECONDS

mkdir -p "$work"
cd "$work" || exit 1
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
    chattr -i "$work"/w64/drive_c/Program\ Files/Velmaro/x86 2>/dev/null
    for p in "$work/w64" "$work/w32"; do [ -d "$p" ] && WINEPREFIX=$p wineserver -k 2>/dev/null; done
}
trap cleanup EXIT

# ---- prefixes -------------------------------------------------------------

# COM3 is the simulator's link in every prefix made here.
ports_reg() {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM3"="%s"\n' "$work/mountsim"
}

# A pristine prefix, made once and copied for every run: wineboot is the
# slow part. Made again when Wine or this folder changes.
pristine() {
    local arch=$1 dir=$work/pristine$1 stamp
    stamp="$("$wine64" --version) $([ -x "$wine32" ] && echo wine32) $work, cscript run once"
    if [ -f "$dir/system.reg" ] && [ "$(cat "$dir.stamp" 2>/dev/null)" = "$stamp" ]; then return 0; fi
    rm -rf "$dir"
    local loader=$wine64 winearch=win64
    [ "$arch" = 32 ] && { loader=$wine32; winearch=win32; }
    ports_reg >"$work/ports.reg"
    WINEPREFIX=$dir WINEARCH=$winearch "$loader" wineboot.exe -i </dev/null >"$work/wineboot$arch.log" 2>&1
    WINEPREFIX=$dir "$loader" 'C:\windows\regedit.exe' /S 'Z:'"${work//\//\\}"'\ports.reg' </dev/null >/dev/null 2>&1
    # cscript registers its own type library when it first runs: done here,
    # so that it is part of the fresh machine and not taken for a trace.
    printf 'WScript.Echo 1\r\n' >"$work/warm.vbs"
    local tools=('C:\windows\system32')
    [ "$arch" = 64 ] && tools+=('C:\windows\syswow64')
    for tool_dir in "${tools[@]}"; do
        local warm_loader=$loader
        [[ $tool_dir == *syswow64 ]] && warm_loader=$wine32
        WINEPREFIX=$dir "$warm_loader" "$tool_dir\cscript.exe" //nologo 'Z:'"${work//\//\\}"'\warm.vbs' </dev/null >/dev/null 2>&1
    done
    WINEPREFIX=$dir wineserver -w
    [ -f "$dir/system.reg" ] || { echo "FAIL: the win$arch prefix could not be made (see $work/wineboot$arch.log)"; exit 1; }
    echo "$stamp" >"$dir.stamp"
}

fresh_prefix() {
    prefix=$work/w$1
    [ -d "$prefix" ] && { WINEPREFIX=$prefix wineserver -k 2>/dev/null; chattr -R -i "$prefix/drive_c" 2>/dev/null; rm -rf "$prefix"; }
    cp -a "$work/pristine$1" "$prefix"
    export WINEPREFIX=$prefix
    program_files=$prefix/drive_c/Program\ Files
    # Wine's first start in a copy brings its own keys up to date (fonts
    # the host gained since, devices): done before anything is compared.
    local loader=$wine64
    [ "$1" = 32 ] && loader=$wine32
    "$loader" wineboot.exe </dev/null >/dev/null 2>&1
    settle
}

# Tools by bitness. On 64-bit Windows the 32-bit ones are in syswow64.
run64() { local tool=$1; shift; "$wine64" "C:\\windows\\system32\\$tool.exe" "$@" </dev/null; }
run32() {
    local tool=$1; shift
    if [ -d "$prefix/drive_c/windows/syswow64" ]; then "$wine32" "C:\\windows\\syswow64\\$tool.exe" "$@" </dev/null
    else "$wine32" "C:\\windows\\system32\\$tool.exe" "$@" </dev/null; fi
}
reg() { if [ "$arch" = 64 ]; then run64 reg "$@"; else run32 reg "$@"; fi; }
# One value (or the default one, for an empty name) of a key in a view.
value() {
    local which=(/ve)
    [ -n "$2" ] && which=(/v "$2")
    reg query "$1" "${which[@]}" "/reg:$3" 2>/dev/null | tr -d '\r' | awk -F'    ' 'NF >= 4 {print $4}'
}
exists() { reg query "$1" "/reg:$2" >/dev/null 2>&1; }
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

# Setup and its uninstaller, as a user or a deployment script starts them,
# bounded so that a prompt in silent mode is a failure, not a hang.
run_setup() { timeout 120 "$wine32" "$(windows_path "$1")" "${@:2}" </dev/null >/dev/null 2>&1; }

# Until every program of the prefix has ended and its registry is on disk.
settle() { wineserver -w; }

# What is ours to find afterwards: every registry line (key and value,
# timestamps dropped) and every file under the Program Files folders and
# the ProgramData folder.
snapshot() {
    settle
    {
        for hive in system user; do
            awk -v hive="$hive" '
                /^#/ || /^WINE REGISTRY/ || /^;;/ || /^$/ { next }
                /^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); print hive " " key; next }
                { print hive " " key " " $0 }' "$prefix/$hive.reg"
        done
        (cd "$prefix/drive_c" && find "Program Files" "Program Files (x86)" ProgramData -print 2>/dev/null)
    } | LC_ALL=C sort >"$work/$1.snapshot"
}
# Registry lines and files present in the second snapshot, not in the first.
# Wine itself rewrites the display driver's date at every start: no trace
# of ours. Nor is Windows' list of files to delete at the next restart:
# NSIS puts its temporary copies (the uninstaller's own) there. Nor Wine's
# note of the desktop menu entries it made for a Start-menu entry (Wine's
# own, outside Windows; it keeps them after the entry is gone).
wine_menus='^user \[Software\\\\Wine\\\\MenuFiles\] '
wine_noise='^system \[System\\\\CurrentControlSet\\\\Control\\\\(Session Manager\] "PendingFileRenameOperations"|Class\\\\\{4D36E968-E325-11CE-BFC1-08002BE10318\}\\\\0000\] "DriverDateData")='"|$wine_menus"
traces_since() {
    LC_ALL=C comm -13 "$work/$1.snapshot" "$work/$2.snapshot" | grep -Ev "$wine_noise"
}
check_clean() {
    local label=$1 before=$2 after=$3 traces
    snapshot "$after"
    traces=$(traces_since "$before" "$after")
    if [ -z "$traces" ]; then ok "$label: no key or file of ours remains"
    else fail "$label: left behind:"; sed 's/^/    /' <<<"$traces" | head -40; fi
    # And nothing that was there before is gone: the ASCOM Platform's keys,
    # above all.
    traces=$(LC_ALL=C comm -23 "$work/$before.snapshot" "$work/$after.snapshot" | grep -Ev "$wine_noise")
    if [ -z "$traces" ]; then ok "$label: nothing that was there before is gone"
    else fail "$label: removed:"; sed 's/^/    /' <<<"$traces" | head -40; fi
    # Ours by name, wherever it is, noise list or not.
    local named
    named=$(LC_ALL=C comm -13 "$work/$before.snapshot" "$work/$after.snapshot" | grep -Ev "$wine_menus" |
            grep -iE 'velmaro|5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5|0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60|E4D2906B-31A7-4C5E-8F1B-72A9C6D0E318|ascom')
    [ -z "$named" ] || { fail "$label: named traces:"; sed 's/^/    /' <<<"$named" | head -20; }
}

# The silent uninstaller, then nothing of ours left and nothing else gone.
uninstall_silently() {
    local what=$1 before=$2 after=$3 status
    timeout 120 "$wine32" "$installed\\Uninstall.exe" /S </dev/null >/dev/null 2>&1; status=$?
    [ $status -eq 0 ] && ok "$what: silent uninstall exits 0" || fail "$what: silent uninstall exited $status"
    settle
    check_clean "$what: uninstall" "$before" "$after"
}

# ---- what an installed copy looks like ----------------------------------

class='HKLM\Software\Classes\CLSID\{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}\InprocServer32'
typelib='HKLM\Software\Classes\TypeLib\{0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60}\1.0\409'
profile='HKLM\Software\ASCOM\Telescope Drivers\Velmaro.Telescope'
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmaro'
installed='C:\Program Files\Velmaro'

same_file() { cmp -s "$1" "$2"; }
# The DLL of one bitness is in place, the same as the one built, and its
# class and type library are registered in that bitness's view.
check_bitness() {
    local what=$1 arch_dir=$2 view=$3
    check "$what: $arch_dir DLL in place" same_file "$program_files/Velmaro/$arch_dir/Velmaro.DLL" "$VELMARO_DIST_DIR/$arch_dir/Velmaro.DLL"
    local seen
    seen=$(value "$class" "" "$view")
    [ "$seen" = "$installed\\$arch_dir\\Velmaro.DLL" ] && ok "$what: $view-bit class registered" \
        || fail "$what: $view-bit class points at '$seen'"
    local platform=win32
    [ "$view" = 64 ] && platform=win64
    seen=$(value "$typelib\\$platform" "" "$view")
    [ "$seen" = "$installed\\$arch_dir\\Velmaro.DLL" ] && ok "$what: $view-bit type library registered" \
        || fail "$what: $view-bit type library at '$seen'"
}
check_entry() {
    local what=$1 view=$2 expect_version=$3 seen
    [ "$(value "$entry" DisplayName "$view")" = "Velmaro Telescope Driver" ] && ok "$what: entry DisplayName" || fail "$what: entry DisplayName '$(value "$entry" DisplayName "$view")'"
    [ "$(value "$entry" DisplayVersion "$view")" = "$expect_version" ] && ok "$what: entry DisplayVersion $expect_version" || fail "$what: entry DisplayVersion '$(value "$entry" DisplayVersion "$view")'"
    [ -n "$(value "$entry" Publisher "$view")" ] && ok "$what: entry Publisher" || fail "$what: no Publisher"
    [ "$(value "$entry" UninstallString "$view")" = "\"$installed\\Uninstall.exe\"" ] && ok "$what: entry UninstallString" || fail "$what: UninstallString '$(value "$entry" UninstallString "$view")'"
    [ "$(value "$entry" QuietUninstallString "$view")" = "\"$installed\\Uninstall.exe\" /S" ] && ok "$what: entry QuietUninstallString" || fail "$what: QuietUninstallString '$(value "$entry" QuietUninstallString "$view")'"
    [ "$(value "$entry" NoModify "$view")" = 0x1 ] && ok "$what: entry NoModify" || fail "$what: NoModify '$(value "$entry" NoModify "$view")'"
    [ "$(value "$entry" NoRepair "$view")" = 0x1 ] && ok "$what: entry NoRepair" || fail "$what: NoRepair '$(value "$entry" NoRepair "$view")'"
    # In KB, at least the files it installed.
    seen=$(value "$entry" EstimatedSize "$view")
    local files_kb
    files_kb=$(du -sk --apparent-size "$program_files/Velmaro" | cut -f1)
    [ -n "$seen" ] && [ $((seen)) -ge $((files_kb * 9 / 10)) ] && ok "$what: entry EstimatedSize $((seen)) KB" \
        || fail "$what: EstimatedSize '$seen' for $files_kb KB of files"
    [ -f "$program_files/Velmaro/Uninstall.exe" ] && ok "$what: Uninstall.exe in place" || fail "$what: no Uninstall.exe"
}

# ---- script sessions through the installed driver -------------------------

start_simulator() {
    rm -f "$work/mountsim" "$work/transcript"
    "$VELMARO_SIMULATOR" --model 1 --link "$work/mountsim" --transcript "$work/transcript" </dev/null >/dev/null 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -e "$work/mountsim" ] && break; sleep 0.05; done
}
stop_simulator() { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; sim_pid=; }

printf '%s\r\n' 'Set t = CreateObject("Velmaro.Telescope")' 't.Connected = True' \
    'WScript.Echo "connected " & t.Connected & " " & t.Name & " " & t.Declination' 't.Connected = False' \
    >"$work/session.vbs"
# A client that only connects: "connected ..." or the driver's error text.
printf '%s\r\n' 'On Error Resume Next' 'Set t = CreateObject("Velmaro.Telescope")' \
    'If Err.Number <> 0 Then WScript.Echo "cannot create": WScript.Quit 1' \
    't.Connected = True' 'If Err.Number <> 0 Then WScript.Echo Err.Description Else WScript.Echo "connected"' \
    >"$work/client.vbs"

# A cscript session of one bitness on COM3: creates the installed driver,
# connects to the simulated mount and reads from it.
check_session() {
    local what=$1 bits=$2 output before
    before=$(wc -l <"$work/transcript" 2>/dev/null || echo 0)
    output=$("run$bits" cscript //nologo "$(windows_path "$work/session.vbs")" 2>&1 | tr -d '\r')
    if [[ $output == "connected True Velmaro Telescope "* ]] && [ "$(wc -l <"$work/transcript")" -gt "$before" ]; then
        ok "$what: $bits-bit cscript session reached the mount ($output)"
    else
        fail "$what: $bits-bit cscript session: $output"
    fi
}
client_says() { "run$1" cscript //nologo "$(windows_path "$work/client.vbs")" 2>&1 | tr -d '\r'; }

# ---- installers made to differ ------------------------------------------

# The same script built as a newer version, and one whose x86 DLL is
# damaged so that its registration fails after the x64 one succeeded.
make_variants() {
    mkdir -p "$work/damaged/x64" "$work/damaged/x86"
    cp "$VELMARO_DIST_DIR/x64/Velmaro.DLL" "$VELMARO_DIST_DIR/x64/VelmaroAlpaca.exe" "$work/damaged/x64/"
    head -c 4096 "$VELMARO_DIST_DIR/x86/Velmaro.DLL" >"$work/damaged/x86/Velmaro.DLL"
    makensis -V1 -DVERSION=9.8 -DDIST="$VELMARO_DIST_DIR" -DOUTFILE="$work/Newer-Setup.exe" \
        "$VELMARO_SOURCE_DIR/installer/Velmaro.nsi" >/dev/null || fail "makensis of the newer version"
    makensis -V1 -DVERSION=9.9 -DDIST="$work/damaged" -DOUTFILE="$work/Damaged-Setup.exe" \
        "$VELMARO_SOURCE_DIR/installer/Velmaro.nsi" >/dev/null || fail "makensis of the damaged installer"
}

# ---- the Alpaca server, an optional part ---------------------------------

server_link="Velmaro Alpaca server.lnk"
start_menu() { echo "$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"; }
check_no_server() {
    local what=$1
    [ -e "$program_files/Velmaro/x64/VelmaroAlpaca.exe" ] && fail "$what: the server installed unasked" \
        || ok "$what: no server unless chosen"
    [ -e "$(start_menu)/Velmaro/$server_link" ] && fail "$what: a server Start-menu entry unasked" \
        || ok "$what: no server Start-menu entry"
}
# The installed server, started as its Start-menu entry does, answers and
# keeps its config in ProgramData; then it stops on Ctrl+C.
check_installed_server_serves() {
    local what=$1 port answer server
    # Below the system's range of ports for outgoing connections, which the
    # other tests' many clients leave waiting in TIME_WAIT; a port taken all
    # the same is tried again with another.
    for _ in 1 2 3; do
        port=$(( (RANDOM % 8000) + 20000 ))
        "$wine64" "$installed\\x64\\VelmaroAlpaca.exe" --http-port "$port" --discovery-port 0 \
            </dev/null >"$work/server.log" 2>&1 &
        server=$!
        answer=
        for _ in $(seq 1 100); do
            answer=$(curl -s --max-time 1 "http://127.0.0.1:$port/management/apiversions" || true)
            [ -n "$answer" ] && break
            kill -0 "$server" 2>/dev/null || break
            sleep 0.2
        done
        [ -n "$answer" ] && break
        grep -q "cannot serve HTTP" "$work/server.log" || break
        wait "$server" 2>/dev/null
    done
    [[ $answer == *'"Value":[1]'* ]] && ok "$what: the installed server answers ($answer)" \
        || fail "$what: the installed server did not answer: $(cat "$work/server.log")"
    kill -INT "$server" 2>/dev/null; wait "$server" 2>/dev/null
    [ -f "$prefix/drive_c/ProgramData/Velmaro/alpaca.conf" ] && ok "$what: its config is in ProgramData\\Velmaro" \
        || fail "$what: no ProgramData\\Velmaro\\alpaca.conf"
}

# ==== 64-bit Windows ========================================================

pristine 64
pristine 32
make_variants
echo "prefixes ready after $((SECONDS - started)) s"

arch=64
fresh_prefix 64
snapshot before64

run_setup "$setup" /S; status=$?
[ $status -eq 0 ] && ok "win64: Setup /S exits 0" || fail "win64: Setup /S exited $status"
check_bitness win64 x64 64
check_bitness win64 x86 32
exists "$profile" 32 && ok "win64: profile in the 32-bit view" || fail "win64: no profile in the 32-bit view"
exists "$profile" 64 && fail "win64: a profile in the 64-bit view" || ok "win64: no profile in the 64-bit view"
check_entry win64 64 "$version"
check_no_server win64

reg add "$profile" /v COM /d 3 /f /reg:32 >/dev/null
start_simulator
check_session win64 64
check_session win64 32
stop_simulator

# Reinstall, then upgrade, over a port and a trace switch the user chose.
# Asked for another folder, a reinstall still goes where the installed copy is.
reg add "$profile" /v COM /d 5 /f /reg:32 >/dev/null
reg add "$profile" /v Trace /d true /f /reg:32 >/dev/null
run_setup "$setup" /S '/D=C:\Elsewhere'; status=$?
[ $status -eq 0 ] && ok "win64: reinstall exits 0" || fail "win64: reinstall exited $status"
[ -e "$prefix/drive_c/Elsewhere" ] && fail "win64: reinstall went to the /D folder" || ok "win64: reinstall stays in the installed folder"
seen=$(value "$profile" COM 32)
[ "$seen" = 5 ] && ok "win64: reinstall keeps the stored port 5" || fail "win64: port after reinstall '$seen'"
seen=$(value "$profile" Trace 32)
[ "$seen" = true ] && ok "win64: reinstall keeps the trace switched on" || fail "win64: trace after reinstall '$seen'"
run_setup "$work/Newer-Setup.exe" /S; status=$?
[ $status -eq 0 ] && ok "win64: upgrade exits 0" || fail "win64: upgrade exited $status"
seen=$(value "$profile" COM 32)
[ "$seen" = 5 ] && ok "win64: upgrade keeps the stored port 5" || fail "win64: port after upgrade '$seen'"
seen=$(value "$profile" Trace 32)
[ "$seen" = true ] && ok "win64: upgrade keeps the trace switched on" || fail "win64: trace after upgrade '$seen'"
[ "$(value "$entry" DisplayVersion 64)" = 9.8 ] && ok "win64: upgrade updated the entry's version" || fail "win64: version after upgrade '$(value "$entry" DisplayVersion 64)'"

# A failed upgrade leaves the installed copy working, port and all.
run_setup "$work/Damaged-Setup.exe" /S; status=$?
[ $status -ne 0 ] && ok "win64: upgrade with a damaged DLL exits $status" || fail "win64: upgrade with a damaged DLL exited 0"
check_bitness "win64 after the failed upgrade" x64 64
check_bitness "win64 after the failed upgrade" x86 32
seen=$(value "$profile" COM 32)
[ "$seen" = 5 ] && ok "win64: failed upgrade keeps the stored port 5" || fail "win64: port after the failed upgrade '$seen'"
[ "$(value "$entry" DisplayVersion 64)" = 9.8 ] && ok "win64: failed upgrade left the entry as it was" || fail "win64: entry version '$(value "$entry" DisplayVersion 64)'"
leftovers=$(find "$program_files/Velmaro" -name '*.old')
[ -z "$leftovers" ] && ok "win64: no set-aside copies left" || fail "win64: left $leftovers"
for bits in 64 32; do
    seen=$(client_says $bits)
    [ "$seen" = "Cannot open port COM5!" ] && ok "win64: $bits-bit client still creates the driver, on port 5" \
        || fail "win64: $bits-bit client after the failed upgrade: $seen"
done

# Silent uninstall by the entry's own command, as "Apps & features" runs it.
quiet=$(value "$entry" QuietUninstallString 64)
settle
eval "set -- $(sed 's/\\/\\\\/g' <<<"$quiet")"
timeout 120 "$wine32" "$@" </dev/null >/dev/null 2>&1; status=$?
[ $status -eq 0 ] && ok "win64: silent uninstall exits 0" || fail "win64: silent uninstall exited $status"
# The uninstaller runs on as a copy of itself: wait for it.
settle
check_clean "win64: uninstall" before64 after_uninstall64

# A fresh install whose second registration fails takes back the first.
run_setup "$work/Damaged-Setup.exe" /S; status=$?
[ $status -eq 3 ] && ok "win64: install with a damaged DLL exits 3" || fail "win64: install with a damaged DLL exited $status"
check_clean "win64: failed registration" before64 after_damaged64

# A read-only folder for the x86 DLL: the x64 one is copied first, then
# taken back. The folders the test made stay, and nothing else.
# Wine runs as this user: only the immutable attribute stops root.
mkdir -p "$program_files/Velmaro/x86"
snapshot before_readonly64
if chattr +i "$program_files/Velmaro/x86" 2>/dev/null; then
    run_setup "$setup" /S; status=$?
    chattr -i "$program_files/Velmaro/x86"
    [ $status -eq 2 ] && ok "win64: install into a read-only folder exits 2" || fail "win64: install into a read-only folder exited $status"
    check_clean "win64: read-only folder" before_readonly64 after_readonly64
else
    echo "skip: read-only folder: chattr +i needs root and a filesystem with the immutable attribute"
fi
wineserver -k 2>/dev/null

# With the server chosen on the command line, and started at logon.
fresh_prefix 64
snapshot before_server64
run_setup "$setup" /S /SERVER /LOGON; status=$?
[ $status -eq 0 ] && ok "win64 with the server: Setup /S /SERVER /LOGON exits 0" || fail "win64 with the server: exited $status"
check "win64 with the server: VelmaroAlpaca.exe in place" same_file "$program_files/Velmaro/x64/VelmaroAlpaca.exe" "$VELMARO_DIST_DIR/x64/VelmaroAlpaca.exe"
[ -f "$(start_menu)/Velmaro/$server_link" ] && ok "win64 with the server: its Start-menu entry" || fail "win64 with the server: no Start-menu entry"
[ -f "$(start_menu)/StartUp/$server_link" ] && ok "win64 with the server: started at logon" || fail "win64 with the server: no Startup entry"
check_bitness "win64 with the server" x64 64
check_entry "win64 with the server" 64 "$version"
check_installed_server_serves "win64 with the server"
settle
uninstall_silently "win64 with the server" before_server64 after_server_uninstall64
wineserver -k 2>/dev/null

# ==== 32-bit Windows ========================================================

arch=32
fresh_prefix 32
# This machine has the ASCOM Platform (its key, and another telescope
# driver's profile): they stay through install and uninstall.
reg add 'HKLM\Software\ASCOM\Platform' /v 'Platform Version' /d 6.6 /f /reg:32 >/dev/null
reg add 'HKLM\Software\ASCOM\Telescope Drivers\Other.Telescope' /ve /d 'Another telescope' /f /reg:32 >/dev/null
snapshot before32
run_setup "$setup" /S /SERVER /LOGON; status=$?
[ $status -eq 0 ] && ok "win32: Setup /S /SERVER /LOGON exits 0" || fail "win32: Setup /S /SERVER /LOGON exited $status"
check_no_server win32
[ -e "$(start_menu)/StartUp/$server_link" ] && fail "win32: a server Startup entry" || ok "win32: no server Startup entry"
check_bitness win32 x86 32
[ -e "$program_files/Velmaro/x64" ] && fail "win32: an x64 folder was installed" || ok "win32: no x64 DLL installed"
exists "$profile" 32 && ok "win32: profile" || fail "win32: no profile"
check_entry win32 32 "$version"
reg add "$profile" /v COM /d 3 /f /reg:32 >/dev/null
start_simulator
check_session win32 32
stop_simulator
settle
uninstall_silently win32 before32 after_uninstall32
wineserver -k 2>/dev/null

echo "installer test: $failures failed, $((SECONDS - started)) s"
# The working copies (about 2 GB) are kept only to look into a failure.
if [ $failures -eq 0 ]; then
    chattr -R -i "$work/w64/drive_c" 2>/dev/null
    rm -rf "$work/w64" "$work/w32"
fi
[ $failures -eq 0 ]
