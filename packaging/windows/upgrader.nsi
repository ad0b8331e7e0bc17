; The Windows installer: makensis -DVERSION=1.3.0 -DSTAGE=<folder of the programs>
;   -DLICENCE=<licence text> -DOUTFILE=<setup.exe> packaging/windows/upgrader.nsi
; Programs in Program Files, a Start menu folder (the window, the configuration's folder, the
; uninstaller), the licence shown before the install, an uninstaller registered with Windows.
; "/S" installs and uninstalls silently, for scripted stations.
; A 64-bit installer: the programs are 64-bit, and Wine without its 32-bit half runs only these.
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | STAGE | LICENCE | OUTFILE
  !error "VERSION, STAGE, LICENCE and OUTFILE must be defined"
!endif

!define PRODUCT "Upgrader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Upgrader"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; Program Files and the machine's uninstall list need an administrator.
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "x64.nsh"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${LICENCE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
  ; The programs are 64-bit: the 64-bit registry and Program Files, not their 32-bit views.
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Programs"
  SetOutPath "$INSTDIR"
  File "${STAGE}\upgrader.exe"
  File "${STAGE}\upgrader-cli.exe"
  File "${STAGE}\fwimage.exe"
  File "${STAGE}\libpq.dll"
  File /oname=LICENCE.txt "${LICENCE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The station's configuration: a config.json beside the programs, which the window reads before
  ; a user's own (%LOCALAPPDATA%\upgrader\config.json). The shortcut opens that folder.
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\upgrader.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Configuration folder.lnk" "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Upgrader maintainers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\upgrader.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The configuration (config.json and what it names beside the programs) and the users' upgrade
; histories stay: the folder is removed only when nothing else is left in it.
Section "Uninstall"
  Delete "$INSTDIR\upgrader.exe"
  Delete "$INSTDIR\upgrader-cli.exe"
  Delete "$INSTDIR\fwimage.exe"
  Delete "$INSTDIR\libpq.dll"
  Delete "$INSTDIR\LICENCE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Configuration folder.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
