; The Windows installer, for 64-bit Windows: each plug-in format in its
; standard folder (VST 2 in one the user may choose), the tools and the
; documents in Program Files\Plinka, and an uninstaller registered with
; Windows that removes what was installed and the folders it leaves empty.
; 32-bit Windows takes the x86 archive instead. scripts/package.sh runs
;   makensis -DVERSION=0.1 -DSTAGE=<the x64 archive's folder> -DOUTFILE=<setup.exe> plinka.nsi
; Without its window: setup.exe /S [/VST2DIR=FOLDER, quoted as /VST2DIR="A B" where it has
; spaces] [/NOVST2] [/NOCLAP] [/NOVST3] [/D=FOLDER for the tools, given last, never quoted].
; A component left out (in the window or by /NOxxx) that an earlier install put
; in is taken out again: what is installed is always what was chosen last.
; README.md ("Install") says where each file goes; tests/packages/ checks it.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Plinka"
; What this installer put where, for the uninstaller and the next install.
!define SETTINGS_KEY "Software\Plinka"
!define VST3_BINARY "Plinka.vst3\Contents\x86_64-win"
; The publisher Windows shows: the maintainers' name from packaging/MAINTAINER
; ("Name <address>"), which the Debian package names too. makensis reads it
; from the script's folder, where it always starts.
!searchparse /file "../MAINTAINER" "" PUBLISHER " <"

Name "Plinka ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Plinka"
BrandingText "Plinka ${VERSION}"

Var Vst2Dir

; Each plug-in's files as the installer puts them, taken out by a reinstall
; that leaves the plug-in out and by the uninstaller alike.
!macro RemoveVst2 FOLDER
    Delete "${FOLDER}\PLINKA.dll"
    RMDir "${FOLDER}"
!macroend
!macro RemoveClap
    Delete "$COMMONFILES64\CLAP\Plinka.clap"
    RMDir "$COMMONFILES64\CLAP"
!macroend
!macro RemoveVst3
    Delete "$COMMONFILES64\VST3\${VST3_BINARY}\Plinka.vst3"
    RMDir "$COMMONFILES64\VST3\${VST3_BINARY}"
    RMDir "$COMMONFILES64\VST3\Plinka.vst3\Contents"
    RMDir "$COMMONFILES64\VST3\Plinka.vst3"
    RMDir "$COMMONFILES64\VST3"
!macroend

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE"
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipVst2FolderUnlessChosen
!define MUI_PAGE_HEADER_TEXT "VST 2 Folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where your host looks for VST 2 plug-ins."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup puts the VST 2 plug-in, PLINKA.dll, in this folder. Choose the folder your host scans for VST 2 plug-ins."
!define MUI_DIRECTORYPAGE_VARIABLE $Vst2Dir
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup puts plinka-render, plinka-bank, plinka-info, the manual and the uninstaller in this folder."
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Tools and manual (required)" SecMain
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "${STAGE}/plinka-render.exe"
    File "${STAGE}/plinka-bank.exe"
    File "${STAGE}/plinka-info.exe"
    File "${STAGE}/README.md"
    File "${STAGE}/LICENSE"
    File "${STAGE}/INSTALL.txt"
    File "${STAGE}/THIRD-PARTY.txt"
    SetOutPath "$INSTDIR\docs"
    File "${STAGE}/docs/manual.md"
    SetOutPath "$INSTDIR\docs\pictures"
    File "${STAGE}/docs/pictures/*.png"
    WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

Section "VST 2 plug-in" SecVst2
    ; A reinstall into another folder takes the plug-in out of the old one.
    ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Vst2Folder"
    ${If} $0 != ""
    ${AndIf} $0 != $Vst2Dir
        !insertmacro RemoveVst2 $0
    ${EndIf}
    SetOutPath "$Vst2Dir"
    File "${STAGE}/PLINKA.dll"
    WriteRegStr HKLM "${SETTINGS_KEY}" "Vst2Folder" "$Vst2Dir"
SectionEnd

Section "CLAP plug-in" SecClap
    SetOutPath "$COMMONFILES64\CLAP"
    File "${STAGE}/Plinka.clap"
    WriteRegDWORD HKLM "${SETTINGS_KEY}" "Clap" 1
SectionEnd

Section "VST3 plug-in" SecVst3
    SetOutPath "$COMMONFILES64\VST3\${VST3_BINARY}"
    File "${STAGE}/Plinka.vst3/Contents/x86_64-win/Plinka.vst3"
    WriteRegDWORD HKLM "${SETTINGS_KEY}" "Vst3" 1
SectionEnd

; A plug-in an earlier install put in and this one leaves out goes, with its
; mark in the registry, so that an older copy never stays behind in a host's
; folder.
Section "-Remove the plug-ins not chosen"
    ${IfNot} ${SectionIsSelected} ${SecVst2}
        ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Vst2Folder"
        ${If} $0 != ""
            !insertmacro RemoveVst2 $0
            DeleteRegValue HKLM "${SETTINGS_KEY}" "Vst2Folder"
        ${EndIf}
    ${EndIf}
    ${IfNot} ${SectionIsSelected} ${SecClap}
        ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "Clap"
        ${If} $0 == 1
            !insertmacro RemoveClap
            DeleteRegValue HKLM "${SETTINGS_KEY}" "Clap"
        ${EndIf}
    ${EndIf}
    ${IfNot} ${SectionIsSelected} ${SecVst3}
        ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "Vst3"
        ${If} $0 == 1
            !insertmacro RemoveVst3
            DeleteRegValue HKLM "${SETTINGS_KEY}" "Vst3"
        ${EndIf}
    ${EndIf}
SectionEnd

; Last, so that the sizes of the sections chosen are known.
Section "-Register the uninstaller"
    SectionGetSize ${SecMain} $1
    ${If} ${SectionIsSelected} ${SecVst2}
        SectionGetSize ${SecVst2} $0
        IntOp $1 $1 + $0
    ${EndIf}
    ${If} ${SectionIsSelected} ${SecClap}
        SectionGetSize ${SecClap} $0
        IntOp $1 $1 + $0
    ${EndIf}
    ${If} ${SectionIsSelected} ${SecVst3}
        SectionGetSize ${SecVst3} $0
        IntOp $1 $1 + $0
    ${EndIf}
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Plinka"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} "plinka-render, plinka-bank and plinka-info, the manual, and the uninstaller."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecVst2} "PLINKA.dll, for VST 2 hosts, in a folder you choose next."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecClap} "Plinka.clap, in Common Files\CLAP."
    !insertmacro MUI_DESCRIPTION_TEXT ${SecVst3} "Plinka.vst3, in Common Files\VST3."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
    ; The last install's VST 2 folder, else the one hosts have scanned longest.
    ReadRegStr $Vst2Dir HKLM "${SETTINGS_KEY}" "Vst2Folder"
    ${If} $Vst2Dir == ""
        StrCpy $Vst2Dir "$PROGRAMFILES64\VSTPlugins"
    ${EndIf}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/VST2DIR=" $1
    ${IfNot} ${Errors}
    ${AndIf} $1 != ""
        StrCpy $Vst2Dir $1
    ${EndIf}
    ; Components left out without the window.
    ClearErrors
    ${GetOptions} $0 "/NOVST2" $1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SecVst2}
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/NOCLAP" $1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SecClap}
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/NOVST3" $1
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${SecVst3}
    ${EndIf}
FunctionEnd

Function SkipVst2FolderUnlessChosen
    ${IfNot} ${SectionIsSelected} ${SecVst2}
        Abort
    ${EndIf}
FunctionEnd

Section "Uninstall"
    ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Vst2Folder"
    ${If} $0 != ""
        !insertmacro RemoveVst2 $0
    ${EndIf}
    ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "Clap"
    ${If} $0 == 1
        !insertmacro RemoveClap
    ${EndIf}
    ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "Vst3"
    ${If} $0 == 1
        !insertmacro RemoveVst3
    ${EndIf}
    ; File by file: the folder may have been chosen to hold other things too.
    Delete "$INSTDIR\plinka-render.exe"
    Delete "$INSTDIR\plinka-bank.exe"
    Delete "$INSTDIR\plinka-info.exe"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\LICENSE"
    Delete "$INSTDIR\INSTALL.txt"
    Delete "$INSTDIR\THIRD-PARTY.txt"
    Delete "$INSTDIR\docs\manual.md"
    Delete "$INSTDIR\docs\pictures\*.png"
    RMDir "$INSTDIR\docs\pictures"
    RMDir "$INSTDIR\docs"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${SETTINGS_KEY}"
SectionEnd
