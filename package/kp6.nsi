; The Windows installer: KP-6 per machine in %ProgramFiles%\KP-6, a
; Start-menu folder with the tool's shortcut, and an entry under the
; Uninstall key. package/windows.cmake runs makensis with VERSION, VERSION4,
; PUBLISHER, KP6_EXE, KP6CTL_EXE, KP6_MO, ICON and OUTFILE defined.
; /S installs and uninstalls silently; /D= chooses the folder.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KP-6"
!define MENU "$SMPROGRAMS\KP-6"

Name "KP-6"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\KP-6"
Icon "${ICON}"
UninstallIcon "${ICON}"
BrandingText "KP-6 ${VERSION}"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "KP-6"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "KP-6 ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright 2026 ${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!include "FileFunc.nsh"

Function .onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section
  SetOutPath "$INSTDIR"
  File "/oname=kp6.exe" "${KP6_EXE}"
  File "/oname=kp6ctl.exe" "${KP6CTL_EXE}"
  SetOutPath "$INSTDIR\ru"
  File "/oname=kp6.mo" "${KP6_MO}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut's working folder is the one it starts the tool in, where
  ; port.out is written: the user's own Documents, expanded at each start
  ; (Program Files is not the user's to write).
  CreateDirectory "${MENU}"
  StrCpy $OUTDIR "%USERPROFILE%\Documents"
  CreateShortcut "${MENU}\KP-6.lnk" "$INSTDIR\kp6.exe" "" "$INSTDIR\kp6.exe" 0 \
    SW_SHOWNORMAL "" "Read and write the settings of a liquid-dispensing controller"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "KP-6"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\kp6.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; Only what was installed goes: a port.out the user left in the folder (or
; anything else) stays, and so does the folder then.
Section "Uninstall"
  Delete "${MENU}\KP-6.lnk"
  RMDir "${MENU}"
  Delete "$INSTDIR\kp6.exe"
  Delete "$INSTDIR\kp6ctl.exe"
  Delete "$INSTDIR\ru\kp6.mo"
  RMDir "$INSTDIR\ru"
  DeleteRegKey HKLM "${UNINST_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
