; The setup file, KelvasongSetup.exe: the Windows package in one program that
; installs it per machine into Program Files (the 64-bit one on 64-bit
; Windows), has the setup program register the driver for both bitnesses,
; adds the Start menu's "Kelvasong Settings" and an entry in Settings > Apps,
; and asks for the restart the driver needs. Its uninstaller has the setup
; program remove the driver and deletes what the installation put there, and
; nothing else. /S runs either silently.
;
; scripts/package.sh makes it:
;   makensis -DPACKAGE=DIR -DOUTFILE=FILE -DVERSION=A.B.C.D -DFLUIDSYNTH_ARCHIVE=NAME KelvasongSetup.nsi
; PACKAGE is the package folder, as package.sh lays it out.
;
; The driver's registration is the driver module's own (its exports, through
; KVSETUP.EXE /DIR, /INSTALL and /REMOVE); nothing of it is written here.

Unicode true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include x64.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh

!macro Required NAME
  !ifndef ${NAME}
    !error "define PACKAGE, OUTFILE, VERSION and FLUIDSYNTH_ARCHIVE (scripts/package.sh does)"
  !endif
!macroend
!insertmacro Required PACKAGE
!insertmacro Required OUTFILE
!insertmacro Required VERSION
!insertmacro Required FLUIDSYNTH_ARCHIVE

!define PRODUCT "Kelvasong Software-WaveTable-Synthesizer"
!define PUBLISHER "Orvellin"
; The entry in Settings > Apps, in the 64-bit registry view on 64-bit Windows.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvasong"
!define UNINSTALLER "Uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\Kelvasong Settings.lnk"
!define INSTANCE_WINDOW_CLASS "KVInstWinClass"

Name "Kelvasong"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kelvasong"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "Kelvasong setup file"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright ${PUBLISHER}"

!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

; Every file of the package, once: the installation puts them, the
; uninstaller deletes them. DO is the macro applied to each (folder, name).
!macro PackageFiles DO
  !insertmacro ${DO} "" "KVSETUP.EXE"
  !insertmacro ${DO} "" "KVDRVR32.DLL"
  !insertmacro ${DO} "" "KVTSK16.EXE"
  !insertmacro ${DO} "" "KVTSK64.EXE"
  !insertmacro ${DO} "" "TimGM6mb.sf2"
  !insertmacro ${DO} "" "TimGM6mb-LICENSE.TXT"
  !insertmacro ${DO} "" "FLUIDSYNTH.TXT"
  !insertmacro ${DO} "" "README.TXT"
  !insertmacro ${DO} "x86" "libfluidsynth-3.dll"
  !insertmacro ${DO} "x64" "KVSETUP.EXE"
  !insertmacro ${DO} "x64" "KVDRVR32.DLL"
  !insertmacro ${DO} "x64" "libfluidsynth-3.dll"
  !insertmacro ${DO} "SOURCE" "${FLUIDSYNTH_ARCHIVE}"
!macroend

!macro PutFile FOLDER NAME
  !if "${FOLDER}" == ""
    SetOutPath "$INSTDIR"
    File "${PACKAGE}/${NAME}"
  !else
    SetOutPath "$INSTDIR\${FOLDER}"
    File "${PACKAGE}/${FOLDER}/${NAME}"
  !endif
!macroend

; A file still in use goes at the restart the removal asks for anyway.
!macro DeleteFile FOLDER NAME
  !if "${FOLDER}" == ""
    Delete /REBOOTOK "$INSTDIR\${NAME}"
  !else
    Delete /REBOOTOK "$INSTDIR\${FOLDER}\${NAME}"
  !endif
!macroend

; Runs the setup program of the installation with ARGS, its report in the
; details; its exit code in $0.
!macro RunSetup ARGS
  DetailPrint `KVSETUP.EXE ${ARGS}`
  nsExec::ExecToLog '"$INSTDIR\KVSETUP.EXE" ${ARGS}'
  Pop $0
!macroend

; The instance window of an earlier installation keeps its program's file
; open: it is closed, and its program waited for, before the files are put.
Function CloseInstanceWindow
  FindWindow $0 "${INSTANCE_WINDOW_CLASS}"
  ${If} $0 <> 0
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1)'
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2'
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $2 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i 10000)'
      System::Call 'kernel32::CloseHandle(p r2)'
    ${EndIf}
  ${EndIf}
FunctionEnd

Function .onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ; Over an earlier installation, into its folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Section "Kelvasong"
  SetShellVarContext all
  Call CloseInstanceWindow
  ; KVHOST.INI, the machine's settings, is never put: installing over an
  ; earlier version keeps it, as it keeps each user's own settings.
  !insertmacro PackageFiles PutFile
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; The entry comes before the registration, so that a registration that
  ; fails still leaves the way to remove what was put.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\KVSETUP.EXE,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  CreateShortCut "${SHORTCUT}" "$INSTDIR\KVSETUP.EXE" "/CONFIG" "$INSTDIR\KVSETUP.EXE" 0 SW_SHOWNORMAL "" \
    "The Kelvasong synthesizer's bank, volume and latency, and the repair of its registration"

  !insertmacro RunSetup '/DIR "$INSTDIR"'
  ${If} $0 == 0
    !insertmacro RunSetup "/INSTALL"
  ${EndIf}
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "The Kelvasong driver could not be registered (KVSETUP.EXE answered $0): the details say why. Remove it in Settings > Apps." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; The driver's module is put in place at the next system start.
  SetRebootFlag true
SectionEnd

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  ; The setup program's removal takes both bitnesses' registrations, gives the
  ; user's MIDI mapper settings back and ends the instance window, waiting
  ; for its program, whose file goes next.
  !insertmacro RunSetup "/REMOVE"
  ${If} $0 != 0
    ; A removal that found nothing registered leaves nothing either.
    !insertmacro RunSetup "/CHECK"
    ${If} $0 != 4
      MessageBox MB_OK|MB_ICONSTOP "The Kelvasong driver could not be removed: the details say why. Nothing else was removed, so that the removal can be tried again." /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}

  ; The install directory's record, when it names this folder.
  ReadINIStr $1 "$WINDIR\KELVASON.INI" "KelvasongSetup" "KVDirectory"
  ${If} $1 == $INSTDIR
    Delete "$WINDIR\KELVASON.INI"
  ${EndIf}
  !insertmacro PackageFiles DeleteFile
  ; The host copies the registration made, when the removal could not delete
  ; them (a host still playing).
  !insertmacro DeleteFile "" "KVMIDI16.EXE"
  !insertmacro DeleteFile "" "KVWAVE16.EXE"
  !insertmacro DeleteFile "" "KVMIDI64.EXE"
  !insertmacro DeleteFile "" "KVWAVE64.EXE"
  Delete "$INSTDIR\${UNINSTALLER}"
  Delete "${SHORTCUT}"
  ; Only emptied folders go: a KVHOST.INI made there, and the hosts' records,
  ; stay with their folder.
  RMDir /REBOOTOK "$INSTDIR\x86"
  RMDir /REBOOTOK "$INSTDIR\x64"
  RMDir /REBOOTOK "$INSTDIR\SOURCE"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The module leaves the system directory at the next system start.
  SetRebootFlag true
SectionEnd
