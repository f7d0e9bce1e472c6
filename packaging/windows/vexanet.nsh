; Pieces of the Windows installer, included into CPack's NSIS script (see
; cmake/WindowsInstall.cmake, which inserts each macro at its place in CPack's template).
;
;   Program Files\VexaNet\      the programs, README.txt, Uninstall.exe
;   ProgramData\VexaNet\        VexaNetCFG.bin: the server reads it from its working folder,
;                               and the Start Menu shortcut starts the server here
;
; The installer writes the default VexaNetCFG.bin only when there is none, so an upgrade keeps
; the user's settings; the uninstaller leaves the data folder and the file where they are.

!include LogicLib.nsh

Var VexaNetData   ; the data folder, C:\ProgramData\VexaNet on a usual system

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

; CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS: before any file is copied.
!macro VexaNetPreInstall
  !insertmacro VexaNetFindDataFolder
  !insertmacro VexaNetRequireServerStopped
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

; CPACK_NSIS_EXTRA_INSTALL_COMMANDS: the default configuration file, unless one is there.
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
!macroend

; CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS: before the program files are removed.
!macro VexaNetPreUninstall
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
