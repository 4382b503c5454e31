; The station's Windows installer (x86_64 programs). Made by scripts/package:
;   makensis -DVERSION=.. -DOUTFILE=.. -DSTATION_EXE=.. -DCONSOLE_EXE=.. -DCTL_EXE=..
;            -DEXAMPLES_NSH=.. -DREADME=.. -DLINE_MODE_TXT=.. kx20-station.nsi
; EXAMPLES_NSH is a generated file with the macros INSTALL_EXAMPLES and
; DELETE_EXAMPLES (one line per example file), so the uninstaller removes
; exactly what was installed and leaves the operator's own files.
;
; Silent use: kx20-station-VERSION-setup-x64.exe /S /D=C:\Folder
;             "C:\Folder\uninstall.exe" /S
; A 64-bit installer for 64-bit programs (also where 32-bit programs cannot run).
Target amd64-unicode
!include "x64.nsh"
!include "LogicLib.nsh"
!include "${EXAMPLES_NSH}"

!define PRODUCT "KX20 Station"
!define OPERATORS "KX20 Station Operators"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KX20Station"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "Software\${PRODUCT}" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

; Line mode's one prerequisite, said before anything is installed.
LicenseText "Line mode needs the PostgreSQL ODBC driver (psqlODBC), installed separately." "Next >"
LicenseData "${LINE_MODE_TXT}"
Page license
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
  File "/oname=kx20-console.exe" "${CONSOLE_EXE}"
  File "/oname=kx20ctl.exe" "${CTL_EXE}"
  File "/oname=README.md" "${README}"
  SetOutPath "$INSTDIR\examples"
  !insertmacro INSTALL_EXAMPLES
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The station's work folder, where the operator keeps config.txt,
  ; Pelorin.img, produce.log and the line's journal: ProgramData\KX20 Station.
  ; Only administrators, the system and the members of the local group
  ; "KX20 Station Operators" may write there (every user could write the
  ; shared documents folder, where the station used to start). The group is
  ; made here; an administrator adds the operators' accounts to it.
  CreateDirectory "$APPDATA\${PRODUCT}"
  ExecWait 'net localgroup "${OPERATORS}" /add /comment:"May run the KX20 station and write its work folder"' $0
  ExecWait 'icacls "$APPDATA\${PRODUCT}" /inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F "${OPERATORS}:(OI)(CI)M"' $1
  ${If} $1 != 0
    DetailPrint "The work folder's access could not be limited (icacls exit $1); set it by hand:"
    DetailPrint '  icacls "$APPDATA\${PRODUCT}" /inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F "${OPERATORS}:(OI)(CI)M"'
    MessageBox MB_OK|MB_ICONEXCLAMATION "The station's work folder $APPDATA\${PRODUCT} could not be limited to administrators and the group ${OPERATORS} (icacls exit $1). Until that is set by hand (see the installation log or README.md), any user of this PC can change config.txt and produce.log." /SD IDOK
  ${Else}
    DetailPrint "Work folder $APPDATA\${PRODUCT}: writable by administrators and ${OPERATORS} only."
  ${EndIf}
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  SetOutPath "$APPDATA\${PRODUCT}"
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

  ; Line mode works through the PostgreSQL ODBC driver: say where to get it
  ; when this PC does not have it (64-bit, Unicode or ANSI).
  ReadRegStr $0 HKLM "SOFTWARE\ODBC\ODBCINST.INI\ODBC Drivers" "PostgreSQL Unicode(x64)"
  ReadRegStr $1 HKLM "SOFTWARE\ODBC\ODBCINST.INI\ODBC Drivers" "PostgreSQL ANSI(x64)"
  ${If} $0 == ""
  ${AndIf} $1 == ""
    DetailPrint "Line mode needs the PostgreSQL ODBC driver (psqlODBC), which is not installed:"
    DetailPrint "  get psqlodbc_x64.msi from https://www.postgresql.org/ftp/odbc/releases/"
    MessageBox MB_OK|MB_ICONINFORMATION "The PostgreSQL ODBC driver (psqlODBC) is not installed on this PC.$\r$\n$\r$\nThe station runs without it; only line mode (several stations sharing one serial sequence in a PostgreSQL database) needs it. Its official installer, psqlodbc_x64.msi, is at:$\r$\n$\r$\nhttps://www.postgresql.org/ftp/odbc/releases/" /SD IDOK
  ${Else}
    DetailPrint "The PostgreSQL ODBC driver is installed: line mode can be used."
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\kx20-station.exe"
  Delete "$INSTDIR\kx20-console.exe"
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
  ; The work folder holds the production record and the line's journal: it
  ; stays, and so does the operators' group.
  DetailPrint "Kept: the work folder $APPDATA\${PRODUCT} (production records) and the group ${OPERATORS}."
SectionEnd
