; The Windows installer: KP-6 per machine in %ProgramFiles%\KP-6, a
; Start-menu folder with the tool's shortcut, and an entry under the
; Uninstall key. package/windows.cmake runs makensis with VERSION, VERSION4,
; PUBLISHER, KP6_EXE, KP6CTL_EXE, KP6_MO, ICON and OUTFILE defined.
; Modern UI pages (welcome, folder, progress, finish with "Run KP-6") in
; English or Russian, as the system's language is. /S installs and
; uninstalls silently; /D= chooses the folder. The uninstaller leaves the
; user's preferences (remembered network lines, last port and address)
; unless its page is told to remove them, or /REMOVEPREFS is given.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KP-6"
!define MENU "$SMPROGRAMS\KP-6"

Name "$(Product)"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\KP-6"
BrandingText "KP-6 ${VERSION}"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "KP-6"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "KP-6 ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright 2026 ${PUBLISHER}"

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "$(RunTool)"
!define MUI_FINISHPAGE_RUN_FUNCTION RunTool
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

; The first is taken where the system speaks neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"
LangString Product ${LANG_ENGLISH} "KP-6"
LangString Product ${LANG_RUSSIAN} "КП-6"
LangString RunTool ${LANG_ENGLISH} "Run KP-6"
LangString RunTool ${LANG_RUSSIAN} "Запустить КП-6"
LangString UnProgram ${LANG_ENGLISH} "KP-6"
LangString UnProgram ${LANG_RUSSIAN} "КП-6"
LangString UnProgramText ${LANG_ENGLISH} "The programs, their catalogue, the Start-menu shortcut."
LangString UnProgramText ${LANG_RUSSIAN} "Программы, их каталог, ярлык в меню «Пуск»."
LangString UnPrefs ${LANG_ENGLISH} "My preferences"
LangString UnPrefs ${LANG_RUSSIAN} "Мои настройки"
LangString UnPrefsText ${LANG_ENGLISH} "The network lines remembered, the last port and address."
LangString UnPrefsText ${LANG_RUSSIAN} "Запомненные сетевые линии, последний порт и адрес."

; Where the tool keeps a user's preferences: AppData\kp6 of that user.
!define PREFS "$APPDATA\kp6"

Function .onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

; In the user's Documents, as the Start-menu shortcut starts it.
Function RunTool
  SetShellVarContext current
  SetOutPath "$DOCUMENTS"
  Exec '"$INSTDIR\kp6.exe"'
  SetShellVarContext all
FunctionEnd

Section
  SetOutPath "$INSTDIR"
  File "/oname=kp6.exe" "${KP6_EXE}"
  File "/oname=kp6ctl.exe" "${KP6CTL_EXE}"
  ; The service report's fonts, found beside the programs.
  File "/oname=DejaVuSans.ttf" "${FONTS}/DejaVuSans.ttf"
  File "/oname=DejaVuSans-Bold.ttf" "${FONTS}/DejaVuSans-Bold.ttf"
  File "/oname=DejaVuSansMono.ttf" "${FONTS}/DejaVuSansMono.ttf"
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
Section "un.$(UnProgram)" UnProgram
  SectionIn RO
  Delete "${MENU}\KP-6.lnk"
  RMDir "${MENU}"
  Delete "$INSTDIR\kp6.exe"
  Delete "$INSTDIR\kp6ctl.exe"
  Delete "$INSTDIR\DejaVuSans.ttf"
  Delete "$INSTDIR\DejaVuSans-Bold.ttf"
  Delete "$INSTDIR\DejaVuSansMono.ttf"
  Delete "$INSTDIR\ru\kp6.mo"
  RMDir "$INSTDIR\ru"
  DeleteRegKey HKLM "${UNINST_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd

; Asked for only: the preferences of the user who uninstalls.
Section /o "un.$(UnPrefs)" UnPrefs
  SetShellVarContext current
  Delete "${PREFS}\kp6.prefs"
  RMDir "${PREFS}\kp6"
  RMDir "${PREFS}"
  SetShellVarContext all
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnProgram} $(UnProgramText)
  !insertmacro MUI_DESCRIPTION_TEXT ${UnPrefs} $(UnPrefsText)
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEPREFS" $R1
  IfErrors +2
    SectionSetFlags ${UnPrefs} ${SF_SELECTED}
FunctionEnd
