; The setup of Gatewright, per machine: the program under Program Files,
; where only administrators can change it (the logon task is registered only
; for such a folder, and the uninstaller runs the program elevated), a Start
; menu shortcut, an entry in Programs and Features. There is no folder to
; choose, and /D is not taken: an upgrade goes where its own entry says the
; program is, when that is a folder of Program Files. Over a running copy it
; asks that copy to close as the user's own close does (mappings removed,
; list saved) and starts the new one again.
;
; makensis -DARCH=x86|amd64 -DEXE=path\to\Gatewright.exe -DOUTFILE=Setup.exe Gatewright.nsi
Unicode true
!ifndef ARCH
  !define ARCH x86
!endif
!ifndef EXE
  !error "EXE: the Gatewright.exe to install"
!endif
!ifndef OUTFILE
  !define OUTFILE "Gatewright-Setup.exe"
!endif
!define VERSION "1.1.0"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Gatewright"
; Exit code of a setup that changed nothing because a running copy did not end.
!define EXIT_STILL_RUNNING 2

Target ${ARCH}-unicode
Name "Gatewright"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
!if ${ARCH} == amd64
  !define PROGRAM_FILES "$PROGRAMFILES64"
!else
  !define PROGRAM_FILES "$PROGRAMFILES"
!endif
InstallDir "${PROGRAM_FILES}\Gatewright"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; Asks the running copy, if any, to close, through program; $0: 0 none ran,
; 1 it closed, 2 it did not end within 15 s. A copy that does not end is not
; killed: nothing is changed and the setup ends with exit code 2.
!macro CloseRunningCopy program what
  ExecWait '"${program}" /close' $0
  ${If} $0 == 2
    MessageBox MB_ICONSTOP "正在运行的Gatewright没有在15秒内退出，${what}没有做任何更改。" /SD IDOK
    SetErrorLevel ${EXIT_STILL_RUNNING}
    Quit
  ${EndIf}
!macroend

; The folder is Program Files' Gatewright, or the one an earlier setup
; recorded where that is a folder directly under Program Files; never one
; given with /D or anywhere a user could change.
Function .onInit
  StrCpy $INSTDIR "${PROGRAM_FILES}\Gatewright"
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  StrLen $1 "${PROGRAM_FILES}\"
  StrCpy $2 $0 $1
  StrCpy $3 $0 "" $1
  ${If} $2 == "${PROGRAM_FILES}\"
  ${AndIf} $3 != ""
  ${AndIf} $3 != ".."
  ${AndIf} $3 != "."
    Push $3
    Call HasBackslash
    Pop $4
    ${If} $4 == 0
      StrCpy $INSTDIR $0
    ${EndIf}
  ${EndIf}
FunctionEnd

; 1 when the string on the stack holds a backslash, else 0.
Function HasBackslash
  Exch $0
  Push $1
  Push $2
  StrCpy $2 0
  ${Do}
    StrCpy $1 $0 1 $2
    ${If} $1 == ""
      StrCpy $0 0
      ${Break}
    ${ElseIf} $1 == "\"
      StrCpy $0 1
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

Section
  SetShellVarContext all
  ; The new program itself asks: the copy running may be any version, or portable.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\Gatewright.exe" "${EXE}"
  !insertmacro CloseRunningCopy "$PLUGINSDIR\Gatewright.exe" "安装"
  StrCpy $1 $0

  SetOutPath "$INSTDIR"
  File "/oname=Gatewright.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Gatewright.lnk" "$INSTDIR\Gatewright.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Gatewright"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Gatewright.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Gatewright"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  SectionGetSize 0 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The copy that was closed comes back, mapping its list where autostart is
  ; on. Not as the logon task's copy: the user's own start later must still
  ; bring its window up.
  ${If} $1 == 1
    Exec '"$INSTDIR\Gatewright.exe"'
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  !insertmacro CloseRunningCopy "$INSTDIR\Gatewright.exe" "卸载"
  ; This user's Run value and logon task; the list stays in the user's profile.
  ExecWait '"$INSTDIR\Gatewright.exe" /unregister'
  Delete "$INSTDIR\Gatewright.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /r "$INSTDIR\logs"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Gatewright.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
