; The station's Windows installer (x86_64 programs). Made by scripts/package:
;   makensis -DVERSION=.. -DOUTFILE=.. -DSTATION_EXE=.. -DCTL_EXE=..
;            -DEXAMPLES_NSH=.. -DREADME=.. kx20-station.nsi
; EXAMPLES_NSH is a generated file with the macros INSTALL_EXAMPLES and
; DELETE_EXAMPLES (one line per example file), so the uninstaller removes
; exactly what was installed and leaves the operator's own files.
;
; Silent use: kx20-station-VERSION-setup-x64.exe /S /D=C:\Folder
;             "C:\Folder\uninstall.exe" /S
; A 64-bit installer for 64-bit programs (also where 32-bit programs cannot run).
Target amd64-unicode
!include "x64.nsh"
!include "${EXAMPLES_NSH}"

!define PRODUCT "KX20 Station"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KX20Station"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "Software\${PRODUCT}" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=kx20-station.exe" "${STATION_EXE}"
  File "/oname=kx20ctl.exe" "${CTL_EXE}"
  File "/oname=README.md" "${README}"
  SetOutPath "$INSTDIR\examples"
  !insertmacro INSTALL_EXAMPLES
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The station starts in the shared documents folder, where the operator
  ; keeps config.txt, Pelorin.img and produce.log.
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  SetOutPath "$DOCUMENTS"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\kx20-station.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} (simulated disks).lnk" "$INSTDIR\kx20-station.exe" "--sim"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Examples.lnk" "$INSTDIR\examples"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "Software\${PRODUCT}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "KX20 station developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\kx20-station.exe"
  Delete "$INSTDIR\kx20ctl.exe"
  Delete "$INSTDIR\README.md"
  !insertmacro DELETE_EXAMPLES
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\*.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\${PRODUCT}"
SectionEnd
