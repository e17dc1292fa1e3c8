; Velmaro Telescope Driver: one Setup.exe for 32- and 64-bit Windows.
;
;   makensis -DVERSION=2.1 -DDIST=/path/to/dist -DOUTFILE=/path/Setup.exe Velmaro.nsi
;
; DIST holds x64/Velmaro.DLL and x86/Velmaro.DLL. scripts/installer passes
; all three, the version read from the DLL's own version record.
;
; Layout (the folder is the user's choice, this is the default):
;   C:\Program Files\Velmaro\x64\Velmaro.DLL   64-bit Windows only
;   C:\Program Files\Velmaro\x86\Velmaro.DLL
;   C:\Program Files\Velmaro\Uninstall.exe
;   C:\Program Files\Velmaro\x64\VelmaroAlpaca.exe  the Alpaca server, when chosen
;                                                  (64-bit Windows only), with a
;                                                  Start-menu entry and, when
;                                                  chosen, one in Startup
;
; The server is an optional part: on the components page, or /SERVER (and
; /LOGON to start it at logon too) on a silent command line.
;
; Exit codes (what a deployment script sees with /S):
;   0 installed, 1 cancelled by the user, 2 a file could not be put in place,
;   3 a DLL could not be registered, 4 administrator rights are missing,
;   5 the uninstall entry could not be written, 6 another Setup is running.
; Every failure takes back what this run did; an installed copy that was
; there before is put back as it was, stored port included.

Unicode true
!ifndef VERSION
  !error "VERSION is not defined (scripts/installer passes it)"
!endif
!ifndef DIST
  !error "DIST is not defined (scripts/installer passes it)"
!endif
!ifndef OUTFILE
  !define OUTFILE "Velmaro-${VERSION}-Setup.exe"
!endif

!define PRODUCT "Velmaro Telescope Driver"
!define PUBLISHER "Velmaro"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmaro"
!define PROFILE_KEY "Software\ASCOM\Telescope Drivers\Velmaro.Telescope"
; The ASCOM Platform's installer writes its own name and version here. The
; "Telescope Drivers" parent would not do: our own registration creates it,
; so it exists after any earlier install of ours, Platform or not.
!define PLATFORM_KEY "Software\ASCOM\Platform"
; What registering the DLL writes under the classes key, for an uninstall
; whose DLL cannot unregister itself any more.
!define CLASS_ID "{5A1F37C2-8D4E-4b09-9E62-0C7D3B81A4F5}"
!define LIBRARY_ID "{0B7C4E91-6F25-4D83-A2E4-9D15B8C37F60}"
!define INTERFACE_ID "{E4D2906B-31A7-4C5E-8F1B-72A9C6D0E318}"

; NSIS itself ends with 1 when the user cancels.
!define ERR_FILES 2
!define ERR_REGISTER 3
!define ERR_NOT_ADMIN 4
!define ERR_ENTRY 5
!define ERR_RUNNING 6

!define SERVER_EXE "VelmaroAlpaca.exe"
!define SERVER_LINK "Velmaro Alpaca server.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\Velmaro"
ShowInstDetails show
ShowUninstDetails show
SetCompressor /SOLID lzma
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 the Velmaro developers"

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include Sections.nsh

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "This installs the ${PRODUCT} ${VERSION}, the ASCOM telescope driver for Brevan, Lintor and Corvane mounts.$\r$\n$\r$\nOn 64-bit Windows both the 64-bit and the 32-bit driver are installed, so programs of either kind can use the mount. A port you chose before is kept.$\r$\n$\r$\nClose every astronomy program that uses the driver before you go on.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipFolderOnUpgrade
!insertmacro MUI_PAGE_DIRECTORY
; The description below the list, so that the parts' names show whole.
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "The ${PRODUCT} is installed.$\r$\n$\r$\nIn your astronomy program, open the ASCOM Telescope Chooser, pick $\"Velmaro Telescope$\" and press Properties to choose the mount's COM port."
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

Var SavedPort        ; the profile's "COM" before this run, or empty
Var ProfileExisted   ; 1 when the profile key was there before this run
Var AscomCreated     ; the topmost ASCOM key our registration creates: "", "Telescope Drivers" or "ASCOM"
Var Registered64     ; 1 once this run registered the x64 DLL
Var Registered32
Var Backup64         ; 1 when an installed x64 DLL was set aside as .old
Var Backup32
Var EntryExisted     ; 1 when an uninstall entry was there before this run
Var Upgrading        ; 1 when an installed copy is found
Var ServerPlaced     ; 1 once this run put the server in place
Var Failure          ; the reason shown for a failure
Var FailureCode

; The text Windows gives an error number. Stack in: number; out: text.
!macro ErrorTextFunction prefix
Function ${prefix}ErrorText
  Exch $0
  Push $1
  Push $2
  System::Call 'kernel32::FormatMessageW(i 0x1200, p 0, i r0, i 0, w .r1, i ${NSIS_MAX_STRLEN}, p 0) i .r2'
  ${If} $2 = 0
    StrCpy $1 "error $0"
  ${Else}
    ; Without the line break Windows ends its texts with.
    StrCpy $1 $1 -2
    StrCpy $1 "$1 (error $0)"
  ${EndIf}
  Pop $2
  Exch $1
  Exch
  Pop $0
FunctionEnd
!macroend
!insertmacro ErrorTextFunction ""


; Each DLL is registered by the regsvr32 of its own bitness. The installer
; is a 32-bit program: System32 means SysWOW64 to it until file-system
; redirection is switched off.
; Stack in: "64" or "32", "" or "/u"; out: regsvr32's exit code.
!macro Regsvr32Function prefix
Function ${prefix}Regsvr32
  Exch $1 ; /u or nothing
  Exch
  Exch $0 ; bitness
  Push $2
  ${If} $0 == 64
    ${DisableX64FSRedirection}
    ClearErrors
    ExecWait '"$WINDIR\System32\regsvr32.exe" /s $1 "$INSTDIR\x64\Velmaro.DLL"' $2
    ${EnableX64FSRedirection}
  ${Else}
    ClearErrors
    ${If} ${RunningX64}
      ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s $1 "$INSTDIR\x86\Velmaro.DLL"' $2
    ${Else}
      ExecWait '"$WINDIR\System32\regsvr32.exe" /s $1 "$INSTDIR\x86\Velmaro.DLL"' $2
    ${EndIf}
  ${EndIf}
  ${If} ${Errors}
    StrCpy $2 "not started"
  ${EndIf}
  Exch $2
  Exch
  Pop $0
  Exch
  Pop $1
FunctionEnd
!macroend
!insertmacro Regsvr32Function ""
!insertmacro Regsvr32Function "un."

; What regsvr32 /s says by its exit code. Stack in: code; out: text.
!macro RegsvrReasonFunction prefix
Function ${prefix}RegsvrReason
  Exch $0
  ${Select} $0
    ${Case} 3
      StrCpy $0 "Windows could not load the DLL (regsvr32 exit code 3): the file is damaged or not for this Windows."
    ${Case} 4
      StrCpy $0 "the DLL has no registration entry point (regsvr32 exit code 4)."
    ${Case} 5
      StrCpy $0 "the DLL's own registration failed (regsvr32 exit code 5)."
    ${Case} "not started"
      StrCpy $0 "regsvr32 could not be started."
    ${CaseElse}
      StrCpy $0 "regsvr32 ended with exit code $0."
  ${EndSelect}
  Exch $0
FunctionEnd
!macroend
!insertmacro RegsvrReasonFunction ""
!insertmacro RegsvrReasonFunction "un."

Function .onInit
  SetShellVarContext all
  ; Two Setups at once would take each other's files away.
  System::Call 'kernel32::CreateMutexW(p 0, i 1, w "VelmaroTelescopeDriverSetup") p .r0 ?e'
  Pop $1
  ${If} $1 = 183
    MessageBox MB_OK|MB_ICONSTOP "Another ${PRODUCT} Setup is running. Finish it first." /SD IDOK
    SetErrorLevel ${ERR_RUNNING}
    Quit
  ${EndIf}

  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Installing the ${PRODUCT} needs administrator rights: run Setup as administrator." /SD IDOK
    SetErrorLevel ${ERR_NOT_ADMIN}
    Quit
  ${EndIf}

  ; An installed copy is upgraded where it is, /D or not: installed
  ; elsewhere, it would leave the old files behind with nothing to remove
  ; them. Moving it means uninstalling first.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
    StrCpy $Upgrading 1
  ${EndIf}

  Call ChooseServerParts

  SetRegView 32
  ClearErrors
  EnumRegKey $0 HKLM "${PLATFORM_KEY}" 0
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONEXCLAMATION "The ASCOM Platform does not seem to be installed.$\r$\n$\r$\nAstronomy programs find telescope drivers through the Platform's Chooser: install the ASCOM Platform too, before or after this driver.$\r$\n$\r$\nSetup installs the driver all the same." /SD IDOK
  ${EndIf}
  SetRegView lastused
FunctionEnd

Function SkipFolderOnUpgrade
  ${If} $Upgrading == 1
    Abort
  ${EndIf}
FunctionEnd

; Creates a folder and the ones above it. Stack in: path; out: "" or the reason.
Function MakeFolder
  Exch $0
  Push $1
  System::Call 'shell32::SHCreateDirectoryExW(p 0, w r0, p 0) i .r1'
  ${If} $1 = 0
  ${OrIf} $1 = 183 ; there already
    StrCpy $0 ""
  ${Else}
    Push $1
    Call ErrorText
    Pop $1
    StrCpy $0 "The folder $0 could not be made: $1"
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

; Puts one DLL in place: an installed one is set aside as .old (renaming
; works even while a program has it loaded), then the new one copied in.
; Stack in: "x64" or "x86"; out: "" or the reason.
Function PlaceDll
  Exch $0
  Push $1
  Push $2
  Push "$INSTDIR\$0"
  Call MakeFolder
  Pop $1
  ${If} $1 == ""
  ${AndIf} ${FileExists} "$INSTDIR\$0\Velmaro.DLL"
    Delete "$INSTDIR\$0\Velmaro.DLL.old"
    System::Call 'kernel32::MoveFileW(w "$INSTDIR\$0\Velmaro.DLL", w "$INSTDIR\$0\Velmaro.DLL.old") i .r2 ?e'
    Pop $1
    ${If} $2 = 0
      Push $1
      Call ErrorText
      Pop $1
      StrCpy $1 "The installed $INSTDIR\$0\Velmaro.DLL could not be replaced: $1"
    ${Else}
      StrCpy $1 ""
      ${If} $0 == x64
        StrCpy $Backup64 1
      ${Else}
        StrCpy $Backup32 1
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} $1 == ""
    System::Call 'kernel32::CopyFileW(w "$PLUGINSDIR\$0\Velmaro.DLL", w "$INSTDIR\$0\Velmaro.DLL", i 0) i .r2 ?e'
    Pop $1
    ${If} $2 = 0
      Push $1
      Call ErrorText
      Pop $1
      StrCpy $1 "$INSTDIR\$0\Velmaro.DLL could not be written: $1"
    ${Else}
      StrCpy $1 ""
      DetailPrint "Copied $INSTDIR\$0\Velmaro.DLL"
    ${EndIf}
  ${EndIf}
  Pop $2
  Exch
  Pop $0
  Exch $1
FunctionEnd

; Registers one bitness's DLL. Stack in: "64" or "32"; out: "" or the reason.
Function RegisterDll
  Exch $0
  Push $1
  Push $0
  Push ""
  Call Regsvr32
  Pop $1
  ${If} $1 == 0
    ${If} $0 == 64
      StrCpy $Registered64 1
    ${Else}
      StrCpy $Registered32 1
    ${EndIf}
    DetailPrint "Registered the $0-bit driver"
    StrCpy $0 ""
  ${Else}
    Push $1
    Call RegsvrReason
    Pop $1
    StrCpy $0 "The $0-bit driver could not be registered: $1"
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

; The stored port outlives everything this Setup does to the registration.
Function RestorePort
  ${If} $SavedPort != ""
    SetRegView 32
    WriteRegStr HKLM "${PROFILE_KEY}" "COM" $SavedPort
    SetRegView lastused
  ${EndIf}
FunctionEnd

; Takes back what this run did, in reverse order, and puts back an installed
; copy that was there before.
Function RollBack
  DetailPrint "Taking back what Setup did"
  ${If} $Registered32 == 1
    Push 32
    Push /u
    Call Regsvr32
    Pop $0
  ${EndIf}
  ${If} $Registered64 == 1
    Push 64
    Push /u
    Call Regsvr32
    Pop $0
  ${EndIf}
  Delete "$INSTDIR\x64\Velmaro.DLL"
  Delete "$INSTDIR\x86\Velmaro.DLL"
  ${If} $ServerPlaced == 1
    Delete "$INSTDIR\x64\${SERVER_EXE}"
    Delete "$SMPROGRAMS\Velmaro\${SERVER_LINK}"
    RMDir "$SMPROGRAMS\Velmaro"
    Delete "$SMSTARTUP\${SERVER_LINK}"
  ${EndIf}
  ${If} $Backup64 == 1
    Rename "$INSTDIR\x64\Velmaro.DLL.old" "$INSTDIR\x64\Velmaro.DLL"
    Push 64
    Push ""
    Call Regsvr32
    Pop $0
  ${EndIf}
  ${If} $Backup32 == 1
    Rename "$INSTDIR\x86\Velmaro.DLL.old" "$INSTDIR\x86\Velmaro.DLL"
    Push 32
    Push ""
    Call Regsvr32
    Pop $0
  ${EndIf}
  SetRegView 32
  ${If} $ProfileExisted == 1
    ; Re-registering the copy put back recreates the profile; the port
    ; is the user's.
    WriteRegStr HKLM "${PROFILE_KEY}" "" "Velmaro Telescope"
    Call RestorePort
  ${Else}
    DeleteRegKey HKLM "${PROFILE_KEY}"
    ${If} $AscomCreated != ""
      DeleteRegKey /ifempty HKLM "Software\ASCOM\Telescope Drivers"
    ${EndIf}
    ${If} $AscomCreated == "ASCOM"
      DeleteRegKey /ifempty HKLM "Software\ASCOM"
    ${EndIf}
  ${EndIf}
  ; The entry is in the installed bitness's view.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ${If} $EntryExisted != 1
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    Delete "$INSTDIR\Uninstall.exe"
  ${EndIf}
  ; Only folders left empty go.
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR"
FunctionEnd

Function Fail
  Call RollBack
  MessageBox MB_OK|MB_ICONSTOP "Setup could not install the ${PRODUCT}.$\r$\n$\r$\n$Failure$\r$\n$\r$\nNothing was changed." /SD IDOK
  SetErrorLevel $FailureCode
  Abort "Setup failed: $Failure"
FunctionEnd

!macro FailIf reason code
  ${If} ${reason} != ""
    StrCpy $Failure ${reason}
    StrCpy $FailureCode ${code}
    Call Fail
  ${EndIf}
!macroend

Section "Driver" SecDriver
  SectionIn RO
  InitPluginsDir
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}

  ; What was there before: kept through the run, put back on failure.
  ClearErrors
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "UninstallString"
  ${IfNot} ${Errors}
    StrCpy $EntryExisted 1
    ReadRegStr $AscomCreated HKLM "${UNINSTALL_KEY}" "AscomKeysCreated"
  ${EndIf}
  SetRegView 32
  ClearErrors
  EnumRegKey $0 HKLM "${PROFILE_KEY}" 0
  ${IfNot} ${Errors}
    StrCpy $ProfileExisted 1
    ReadRegStr $SavedPort HKLM "${PROFILE_KEY}" "COM"
  ${ElseIf} $EntryExisted != 1
    ; The ASCOM keys our registration is about to make, so that uninstalling
    ; removes them and no more.
    ClearErrors
    EnumRegKey $0 HKLM "Software\ASCOM" 0
    ${If} ${Errors}
      StrCpy $AscomCreated "ASCOM"
    ${Else}
      ClearErrors
      EnumRegKey $0 HKLM "Software\ASCOM\Telescope Drivers" 0
      ${If} ${Errors}
        StrCpy $AscomCreated "Telescope Drivers"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  SetRegView lastused
  ${If} $SavedPort != ""
    DetailPrint "Keeping the stored port COM$SavedPort"
  ${EndIf}

  ; Unpacked first to a private folder, so that putting them in place is
  ; a plain copy whose failure has a reason.
  SetOutPath "$PLUGINSDIR\x86"
  File "/oname=Velmaro.DLL" "${DIST}/x86/Velmaro.DLL"
  ${If} ${RunningX64}
    SetOutPath "$PLUGINSDIR\x64"
    File "/oname=Velmaro.DLL" "${DIST}/x64/Velmaro.DLL"
  ${EndIf}
  SetOutPath "$PLUGINSDIR"

  Push $INSTDIR
  Call MakeFolder
  Pop $0
  !insertmacro FailIf $0 ${ERR_FILES}
  ${If} ${RunningX64}
    Push x64
    Call PlaceDll
    Pop $0
    !insertmacro FailIf $0 ${ERR_FILES}
  ${EndIf}
  Push x86
  Call PlaceDll
  Pop $0
  !insertmacro FailIf $0 ${ERR_FILES}

  ${If} ${RunningX64}
    Push 64
    Call RegisterDll
    Pop $0
    !insertmacro FailIf $0 ${ERR_REGISTER}
  ${EndIf}
  Push 32
  Call RegisterDll
  Pop $0
  !insertmacro FailIf $0 ${ERR_REGISTER}
  Call RestorePort

SectionEnd


; The Alpaca server: one copy serves the mount to every program at once.
Section /o "Alpaca server (share the mount between programs)" SecServer
  ${IfNot} ${RunningX64}
    Return
  ${EndIf}
  StrCpy $ServerPlaced 1
  SetOutPath "$INSTDIR\x64"
  ClearErrors
  File "${DIST}/x64/${SERVER_EXE}"
  ${If} ${Errors}
    StrCpy $Failure "$INSTDIR\x64\${SERVER_EXE} could not be written."
    StrCpy $FailureCode ${ERR_FILES}
    Call Fail
  ${EndIf}
  CreateDirectory "$SMPROGRAMS\Velmaro"
  CreateShortcut "$SMPROGRAMS\Velmaro\${SERVER_LINK}" "$INSTDIR\x64\${SERVER_EXE}" "" "" 0 SW_SHOWMINIMIZED \
      "" "Serves the telescope mount to every astronomy program (ASCOM Alpaca)"
  SetOutPath "$PLUGINSDIR"
SectionEnd

Section /o "Start the Alpaca server at logon" SecServerAtLogon
  ${IfNot} ${RunningX64}
  ${OrIfNot} ${SectionIsSelected} ${SecServer}
    Return
  ${EndIf}
  SetOutPath "$INSTDIR\x64"
  CreateShortcut "$SMSTARTUP\${SERVER_LINK}" "$INSTDIR\x64\${SERVER_EXE}" "" "" 0 SW_SHOWMINIMIZED
  SetOutPath "$PLUGINSDIR"
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} "The ASCOM telescope driver, for 64-bit and 32-bit programs."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecServer} "VelmaroAlpaca.exe: owns the mount's COM port and serves the mount to every program at once, through ASCOM Alpaca. Start it from the Start menu."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecServerAtLogon} "Starts the Alpaca server, minimised, each time you log on."
!insertmacro MUI_FUNCTION_DESCRIPTION_END


; What the server's parts are on this machine and command line. There is no
; 32-bit server: on 32-bit Windows it is not offered.
Function ChooseServerParts
  ${IfNot} ${RunningX64}
    SectionSetText ${SecServer} ""
    SectionSetText ${SecServerAtLogon} ""
  ${Else}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/SERVER" $1
    ${IfNot} ${Errors}
      !insertmacro SelectSection ${SecServer}
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/LOGON" $1
    ${IfNot} ${Errors}
      !insertmacro SelectSection ${SecServer}
      !insertmacro SelectSection ${SecServerAtLogon}
    ${EndIf}
  ${EndIf}

FunctionEnd

; Last, once every chosen part is in place: the uninstaller and the entry.
Section "-Finish"
  ClearErrors
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    StrCpy $Failure "$INSTDIR\Uninstall.exe could not be written."
    StrCpy $FailureCode ${ERR_FILES}
    Call Fail
  ${EndIf}

  ; The "Apps & features" entry, in the view of the installed bitness.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegStr HKLM "${UNINSTALL_KEY}" "AscomKeysCreated" $AscomCreated
  ${If} ${Errors}
    StrCpy $Failure "The uninstall entry HKLM\${UNINSTALL_KEY} could not be written."
    StrCpy $FailureCode ${ERR_ENTRY}
    Call Fail
  ${EndIf}
  SetRegView lastused

  ; Done: the copies set aside go (at the next restart if still in use).
  Delete /REBOOTOK "$INSTDIR\x64\Velmaro.DLL.old"
  Delete /REBOOTOK "$INSTDIR\x86\Velmaro.DLL.old"
SectionEnd

;--- Uninstaller ---------------------------------------------------------

Var UnFailure

Function un.onInit
  SetShellVarContext all
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Removing the ${PRODUCT} needs administrator rights." /SD IDOK
    SetErrorLevel ${ERR_NOT_ADMIN}
    Quit
  ${EndIf}
FunctionEnd

; Unregisters one bitness's DLL if it is there. Stack in: "64" or "32".
Function un.UnregisterDll
  Exch $0
  Push $1
  ${If} $0 == 64
    StrCpy $1 "$INSTDIR\x64\Velmaro.DLL"
  ${Else}
    StrCpy $1 "$INSTDIR\x86\Velmaro.DLL"
  ${EndIf}
  ${If} ${FileExists} $1
    Push $0
    Push /u
    Call un.Regsvr32
    Pop $1
    ${If} $1 == 0
      DetailPrint "Unregistered the $0-bit driver"
    ${Else}
      Push $1
      Call un.RegsvrReason
      Pop $1
      StrCpy $UnFailure "The $0-bit driver could not be unregistered: $1"
      DetailPrint $UnFailure
    ${EndIf}
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; The driver's keys, removed directly from both views.
Function un.RemoveRegistration
  DetailPrint "Removing the driver's registration keys"
  DeleteRegKey HKLM "Software\Classes\CLSID\${CLASS_ID}"
  DeleteRegKey HKLM "Software\Classes\Velmaro.Telescope"
  DeleteRegKey HKLM "Software\Classes\Velmaro.Telescope.1"
  DeleteRegKey HKLM "Software\Classes\TypeLib\${LIBRARY_ID}"
  DeleteRegKey HKLM "Software\Classes\Interface\${INTERFACE_ID}"
FunctionEnd

Section "Uninstall"
  ${If} ${RunningX64}
    Push 64
    Call un.UnregisterDll
  ${EndIf}
  Push 32
  Call un.UnregisterDll
  ${If} $UnFailure != ""
    SetRegView 32
    Call un.RemoveRegistration
    ${If} ${RunningX64}
      SetRegView 64
      Call un.RemoveRegistration
    ${EndIf}
  ${EndIf}

  ; regsvr32 /u of the last bitness takes the profile, port and all; gone
  ; also when a DLL could not be unregistered.
  SetRegView 32
  DeleteRegKey HKLM "${PROFILE_KEY}"
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "AscomKeysCreated"
  SetRegView 32
  ${If} $0 != ""
    DeleteRegKey /ifempty HKLM "Software\ASCOM\Telescope Drivers"
  ${EndIf}
  ${If} $0 == "ASCOM"
    DeleteRegKey /ifempty HKLM "Software\ASCOM"
  ${EndIf}

  Delete "$INSTDIR\x64\Velmaro.DLL"
  Delete "$INSTDIR\x64\Velmaro.DLL.old"
  Delete /REBOOTOK "$INSTDIR\x64\${SERVER_EXE}"
  Delete "$SMPROGRAMS\Velmaro\${SERVER_LINK}"
  RMDir "$SMPROGRAMS\Velmaro"
  Delete "$SMSTARTUP\${SERVER_LINK}"
  ; The server's config and what it wrote beside it (ProgramData).
  Delete "$APPDATA\Velmaro\alpaca.conf"
  Delete "$APPDATA\Velmaro\alpaca.conf.new"
  RMDir "$APPDATA\Velmaro"
  Delete "$INSTDIR\x86\Velmaro.DLL"
  Delete "$INSTDIR\x86\Velmaro.DLL.old"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR\x64"
  RMDir "$INSTDIR\x86"
  RMDir "$INSTDIR"

  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetRegView lastused

  ${If} $UnFailure != ""
    ; Removed all the same; said, so that a damaged file is noticed.
    MessageBox MB_OK|MB_ICONEXCLAMATION "$UnFailure$\r$\n$\r$\nIts registration keys were removed directly, with the files and the uninstall entry." /SD IDOK
  ${EndIf}
SectionEnd
