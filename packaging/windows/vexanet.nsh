; Pieces of the Windows installer, included into CPack's NSIS script (see
; cmake/WindowsInstall.cmake, which inserts each macro at its place in CPack's template).
;
;   Program Files\VexaNet\      the programs, README.txt, Uninstall.exe
;   ProgramData\VexaNet\        VexaNetCFG.bin: the server reads it from its working folder,
;                               and the Start Menu shortcut starts the server here; the
;                               Windows service works here too (vexanet.env, vexanet-server.log)
;
; The page "Windows service" (or /SERVICE=1 and /SERVICE=0 on the command line of a silent
; install) chooses whether the server runs as the Windows service VexaNet, started at boot. An
; installation that had the service keeps it when nothing says otherwise (the choice is kept in
; HKLM\Software\VexaNet over an uninstall, as the data folder is); the installer stops it before
; it replaces the programs and starts it again afterwards, and the uninstaller removes it.
;
; The installer writes the default VexaNetCFG.bin only when there is none, so an upgrade keeps
; the user's settings; the uninstaller leaves the data folder and the file where they are.

!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

Var VexaNetData        ; the data folder, C:\ProgramData\VexaNet on a usual system
Var VexaNetService     ; 1: run as the Windows service; empty until decided
Var VexaNetServiceBox  ; the page's checkbox

!define VEXANET_SERVICE_KEY "SYSTEM\CurrentControlSet\Services\VexaNet"
!define VEXANET_CHOICE_KEY "Software\VexaNet"  ; RunAsService: the choice, kept over uninstalls

; The machine-wide data folder, whatever shell context the installer runs in (it runs for all
; users when elevated; the folder must be the same either way).
!macro VexaNetFindDataFolder
  ${If} ${ShellVarContextAll}
    StrCpy $VexaNetData "$APPDATA\VexaNet"
  ${Else}
    SetShellVarContext all
    StrCpy $VexaNetData "$APPDATA\VexaNet"
    SetShellVarContext current
  ${EndIf}
!macroend

; A running server holds its program file open: replacing or deleting it would fail half-way
; (an installation with some files old and some new, or an uninstall that leaves the server
; behind). Ask to close it first; a silent run stops with exit status 2.
!macro VexaNetRequireServerStopped
  ${If} ${FileExists} "$INSTDIR\vexanet-server.exe"
    ${Do}
      ClearErrors
      FileOpen $0 "$INSTDIR\vexanet-server.exe" a
      ${IfNot} ${Errors}
        FileClose $0
        ${Break}
      ${EndIf}
      DetailPrint "VexaNet Server ($INSTDIR\vexanet-server.exe) is running"
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "VexaNet Server is running.$\n$\nClose its window (or press Ctrl+C in its console), then choose Retry." \
        /SD IDCANCEL IDRETRY +2
      Abort "VexaNet Server is running: nothing was changed."
    ${Loop}
  ${EndIf}
!macroend

; Whether the service is wanted: /SERVICE=1 or /SERVICE=0 on the command line, else what the
; installation had (the last install's or uninstall's record).
!macro VexaNetChooseService
  ${If} $VexaNetService == ""
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/SERVICE=" $R1
    ; (testing the error flag clears it: one test only)
    ${If} ${Errors}
      ; An upgrade runs the old uninstaller first, which removes the service: what it found
      ; is kept for the installation that follows.
      ReadRegStr $R1 HKLM "${VEXANET_CHOICE_KEY}" "RunAsService"
    ${EndIf}
    ${If} $R1 == "1"
      StrCpy $VexaNetService 1
    ${Else}
      StrCpy $VexaNetService 0
    ${EndIf}
  ${EndIf}
!macroend

; The page (CPACK_NSIS_PAGE_COMPONENTS's place, before the files are copied).
Function VexaNetServicePage
  !insertmacro VexaNetFindDataFolder
  !insertmacro VexaNetChooseService
  !insertmacro MUI_HEADER_TEXT "Windows service" "Choose how VexaNet Server runs."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 48u "As a Windows service, VexaNet Server starts when Windows starts, with no window and no user logged on. Its settings file vexanet.env and its log vexanet-server.log are in $VexaNetData.$\n$\nWithout it, start the server from the Start Menu."
  Pop $0
  ${NSD_CreateCheckbox} 0 56u 100% 12u "Run as a Windows service"
  Pop $VexaNetServiceBox
  ${If} $VexaNetService == 1
    ${NSD_Check} $VexaNetServiceBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function VexaNetServicePageLeave
  ${NSD_GetState} $VexaNetServiceBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $VexaNetService 1
  ${Else}
    StrCpy $VexaNetService 0
  ${EndIf}
FunctionEnd

; A service that runs holds the server's program file open: stopped first (and started again
; after the install when still wanted).
!macro VexaNetStopService
  ClearErrors
  ReadRegStr $R1 HKLM "${VEXANET_SERVICE_KEY}" "ImagePath"
  ${IfNot} ${Errors}
  ${AndIf} ${FileExists} "$INSTDIR\vexanet-service.exe"
    DetailPrint "Stopping the VexaNet service"
    nsExec::ExecToLog '"$INSTDIR\vexanet-service.exe" stop'
    Pop $0
  ${EndIf}
!macroend

; CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS: before any file is copied.
!macro VexaNetPreInstall
  !insertmacro VexaNetFindDataFolder
  !insertmacro VexaNetChooseService
  !insertmacro VexaNetStopService
  !insertmacro VexaNetRequireServerStopped
!macroend

; After the files: the service installed (or brought up to date) and started, or removed when no
; longer wanted. A failure is a warning: the programs are installed either way.
!macro VexaNetSetUpService
  WriteRegStr HKLM "${VEXANET_CHOICE_KEY}" "RunAsService" $VexaNetService
  ${If} $VexaNetService == 1
    DetailPrint "Installing and starting the VexaNet service"
    nsExec::ExecToLog '"$INSTDIR\vexanet-service.exe" install --data-folder "$VexaNetData"'
    Pop $0
    ${If} $0 == "0"
      nsExec::ExecToLog '"$INSTDIR\vexanet-service.exe" start'
      Pop $0
    ${EndIf}
    ${If} $0 != "0"
      MessageBox MB_OK|MB_ICONEXCLAMATION \
        "The VexaNet service could not be installed or started (vexanet-service: $0).$\n$\nSee $VexaNetData\vexanet-server.log, or run vexanet-service.exe status." \
        /SD IDOK
    ${EndIf}
  ${Else}
    ClearErrors
    ReadRegStr $R1 HKLM "${VEXANET_SERVICE_KEY}" "ImagePath"
    ${IfNot} ${Errors}
      DetailPrint "Removing the VexaNet service"
      nsExec::ExecToLog '"$INSTDIR\vexanet-service.exe" remove'
      Pop $0
    ${EndIf}
  ${EndIf}
!macroend

; CPACK_NSIS_CREATE_ICONS_EXTRA: the Start Menu shortcuts. A shortcut starts its program in the
; output folder current when it is made, so the server's shortcut is made with the data folder
; as output folder.
!macro VexaNetCreateShortcuts
  SetOutPath "$VexaNetData"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\VexaNet Server.lnk" "$INSTDIR\vexanet-server.exe"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\VexaNet configuration folder.lnk" "$VexaNetData"
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\VexaNet README.lnk" "$INSTDIR\README.txt"
!macroend

; CPACK_NSIS_EXTRA_INSTALL_COMMANDS: the default configuration file, unless one is there; then
; the service as chosen.
!macro VexaNetWriteDefaults
  CreateDirectory "$VexaNetData"
  ${If} ${FileExists} "$VexaNetData\VexaNetCFG.bin"
    DetailPrint "Keeping the configuration file $VexaNetData\VexaNetCFG.bin"
  ${Else}
    DetailPrint "Writing the default configuration file $VexaNetData\VexaNetCFG.bin"
    nsExec::ExecToLog '"$INSTDIR\vexanet-config.exe" write "$VexaNetData\VexaNetCFG.bin"'
    Pop $0
    ${If} $0 != "0"
      ; Without a file the server runs with the same defaults: a warning, not a failed install.
      MessageBox MB_OK|MB_ICONEXCLAMATION \
        "Could not write $VexaNetData\VexaNetCFG.bin (vexanet-config: $0).$\n$\nVexaNet Server uses its defaults without it." \
        /SD IDOK
    ${EndIf}
  ${EndIf}
  !insertmacro VexaNetSetUpService
!macroend

; CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS: before the program files are removed.
!macro VexaNetPreUninstall
  ClearErrors
  ReadRegStr $R1 HKLM "${VEXANET_SERVICE_KEY}" "ImagePath"
  ${If} ${Errors}
    WriteRegStr HKLM "${VEXANET_CHOICE_KEY}" "RunAsService" 0
  ${Else}
    WriteRegStr HKLM "${VEXANET_CHOICE_KEY}" "RunAsService" 1
    DetailPrint "Removing the VexaNet service"
    nsExec::ExecToLog '"$INSTDIR\vexanet-service.exe" remove'
    Pop $0
  ${EndIf}
  !insertmacro VexaNetRequireServerStopped
  !insertmacro VexaNetFindDataFolder
  DetailPrint "Keeping the configuration folder $VexaNetData"
!macroend

; CPACK_NSIS_DELETE_ICONS_EXTRA ($MUI_TEMP is the Start Menu folder there).
!macro VexaNetDeleteShortcuts
  Delete "$SMPROGRAMS\$MUI_TEMP\VexaNet Server.lnk"
  Delete "$SMPROGRAMS\$MUI_TEMP\VexaNet configuration folder.lnk"
  Delete "$SMPROGRAMS\$MUI_TEMP\VexaNet README.lnk"
!macroend
