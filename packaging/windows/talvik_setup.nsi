; TalvikSetup.exe: installs the service and the notifier into one directory
; (C:\Program Files\Talvik\ unless /D= names another; /S is silent),
; registers the service with "TalvikSvc.exe install" and starts it, and
; writes the uninstall entry whose "UninstallString" tells both programs
; where their libraries, ini file and log live. Installing over an earlier
; installation stops its service, replaces the files, keeps the user's
; Vidrelo.ini and starts the service again. The uninstaller stops and
; deletes the service and removes what was installed; the remembered picture
; size ("Setup") stays unless the user asks for it to go.
;
; Built by packaging/windows/CMakeLists.txt: makensis -NOCD in the staging
; directory, which holds every shipped file, with VERSION and OUTFILE
; defined.

Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include FileFunc.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TalvikDrivers"
!define SETTINGS_KEY "Software\Talvik\Vidrelo"
!define SERVICE "TalvikSvc"
!define DRIVERS_NOTE "The camera driver $\"Vidrelo Camera$\" and the audio driver $\"Talvik Audio$\" come from their maker and are not part of this package; Talvik needs them on Windows."

; Service manager values.
!define SC_MANAGER_ALL_ACCESS 0xF003F
!define SERVICE_ALL_ACCESS 0xF01FF
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_RUNNING 4
!define ERROR_SERVICE_DATABASE_LOCKED 1055
!define ERROR_SERVICE_ALREADY_RUNNING 1056

Name "Talvik"
Caption "Talvik ${VERSION} Setup"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Talvik"
; An upgrade goes where the earlier installation is (the uninstaller's path,
; whose file name NSIS drops).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "UninstallString"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Talvik"
VIAddVersionKey "CompanyName" "Talvik"
VIAddVersionKey "FileDescription" "Talvik Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Talvik"

DirText "Setup installs the Talvik service and its notifier into the folder below.$\r$\n$\r$\n${DRIVERS_NOTE}"
UninstallText "Talvik's service and notifier will be removed from the folder below. ${DRIVERS_NOTE} They stay installed."

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Ends the installation with the text shown and logged, and a non-zero exit
; code, so that a silent run cannot pass for a successful one.
!macro Fail text
    DetailPrint "${text}"
    MessageBox MB_OK|MB_ICONSTOP "${text}" /SD IDOK
    SetErrorLevel 2
    Abort "${text}"
!macroend

; The service functions, once for the installer and once ("un.") for the
; uninstaller.
!macro ServiceFunctions un
    ; Stops the service and waits until the service manager reports it
    ; stopped; with DELETE on the stack, deletes it then. Leaves "absent",
    ; "stopped" or "timeout" on the stack. A stop is sent only to a running
    ; service: one already stopping is waited for.
    Function ${un}StopService
        Exch $R0
        Push $R1
        Push $R2
        Push $R3
        Push $R4
        Push $R5
        StrCpy $R5 "absent"
        System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p.R1'
        ${If} $R1 P<> 0
            System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE}", i ${SERVICE_ALL_ACCESS}) p.R2'
            ${If} $R2 P<> 0
                System::Alloc 28
                Pop $R3
                StrCpy $R5 "timeout"
                ; 60 s: the service's own stop waits for the tray's answer.
                ${For} $R4 1 600
                    System::Call 'advapi32::QueryServiceStatus(p R2, p R3) i.s'
                    Pop $0
                    ${If} $0 = 0
                        ${Break}
                    ${EndIf}
                    System::Call '*$R3(i, i .s)'
                    Pop $0
                    ${If} $0 = ${SERVICE_STOPPED}
                        StrCpy $R5 "stopped"
                        ${Break}
                    ${EndIf}
                    ${If} $0 = ${SERVICE_RUNNING}
                        System::Call 'advapi32::ControlService(p R2, i ${SERVICE_CONTROL_STOP}, p R3) i'
                    ${EndIf}
                    Sleep 100
                ${Next}
                System::Free $R3
                ${If} $R5 == "stopped"
                ${AndIf} $R0 == "DELETE"
                    System::Call 'advapi32::DeleteService(p R2) i.s'
                    Pop $0
                    ${If} $0 = 0
                        StrCpy $R5 "timeout"
                    ${EndIf}
                ${EndIf}
                System::Call 'advapi32::CloseServiceHandle(p R2) i'
            ${EndIf}
            System::Call 'advapi32::CloseServiceHandle(p R1) i'
        ${EndIf}
        StrCpy $R0 $R5
        Pop $R5
        Pop $R4
        Pop $R3
        Pop $R2
        Pop $R1
        Exch $R0
    FunctionEnd

    ; The notifier is started by the service in the user's session and,
    ; where toasts work, outlives the service's stop; it holds its program
    ; file open until it ends.
    Function ${un}EndTray
        nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM talviktray.exe'
        Pop $0
    FunctionEnd
!macroend
!insertmacro ServiceFunctions ""
!insertmacro ServiceFunctions "un."

; Registers the service (retried: the service database can be locked for a
; moment, and "install" then leaves no service and says nothing), starts it
; and waits until it runs.
Function RegisterAndStartService
    StrCpy $R2 0
    ${For} $R4 1 40
        ExecWait '"$INSTDIR\TalvikSvc.exe" install'
        System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p.R1'
        ${If} $R1 P<> 0
            System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE}", i ${SERVICE_ALL_ACCESS}) p.R2'
            ${If} $R2 P<> 0
                ${Break}
            ${EndIf}
            System::Call 'advapi32::CloseServiceHandle(p R1) i'
        ${EndIf}
        Sleep 250
    ${Next}
    ${If} $R2 P= 0
        !insertmacro Fail "The Talvik service could not be registered."
    ${EndIf}

    StrCpy $R5 "failed"
    ${For} $R4 1 40
        System::Call 'advapi32::StartServiceW(p R2, i 0, p 0) i.R3 ?e'
        Pop $0
        ${If} $R3 <> 0
        ${OrIf} $0 = ${ERROR_SERVICE_ALREADY_RUNNING}
            StrCpy $R5 "started"
            ${Break}
        ${EndIf}
        ${If} $0 <> ${ERROR_SERVICE_DATABASE_LOCKED}
            ${Break}
        ${EndIf}
        Sleep 250
    ${Next}
    ${If} $R5 == "started"
        StrCpy $R5 "failed"
        System::Alloc 28
        Pop $R3
        ${For} $R4 1 600
            System::Call 'advapi32::QueryServiceStatus(p R2, p R3) i.s'
            Pop $0
            ${If} $0 = 0
                ${Break}
            ${EndIf}
            System::Call '*$R3(i, i .s)'
            Pop $0
            ${If} $0 = ${SERVICE_RUNNING}
                StrCpy $R5 "running"
                ${Break}
            ${EndIf}
            ${If} $0 = ${SERVICE_STOPPED}
                ${Break}
            ${EndIf}
            Sleep 100
        ${Next}
        System::Free $R3
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p R2) i'
    System::Call 'advapi32::CloseServiceHandle(p R1) i'
    ${If} $R5 != "running"
        !insertmacro Fail "The Talvik service did not start."
    ${EndIf}
    DetailPrint "The Talvik service runs."
FunctionEnd

Section "Talvik"
    SetRegView 64
    DetailPrint "${DRIVERS_NOTE}"
    ; An earlier installation's service holds its files.
    Push ""
    Call StopService
    Pop $0
    ${If} $0 == "timeout"
        !insertmacro Fail "The running Talvik service did not stop; nothing was changed."
    ${EndIf}
    Call EndTray

    SetOutPath "$INSTDIR"
    SetOverwrite on
    File "TalvikSvc.exe"
    File "talviktray.exe"
    File "avutil-56.dll"
    File "avcodec-58.dll"
    File "swresample-3.dll"
    File "swscale-5.dll"
    File "vidrelo.png"
    File "barcode.png"
    ; The log level is the user's to change; an upgrade keeps it.
    SetOverwrite off
    File "Vidrelo.ini"
    SetOverwrite on
    WriteUninstaller "$INSTDIR\uninst.exe"

    ; Unquoted: the programs take the text up to its last backslash as
    ; their install directory.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$INSTDIR\uninst.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninst.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Talvik"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Talvik"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

    Call RegisterAndStartService
SectionEnd

Section "Uninstall"
    SetRegView 64
    DetailPrint "${DRIVERS_NOTE}"
    Push "DELETE"
    Call un.StopService
    Pop $0
    ${If} $0 == "timeout"
        DetailPrint "The Talvik service did not stop; nothing was removed."
        MessageBox MB_OK|MB_ICONSTOP "The Talvik service did not stop; nothing was removed." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    Call un.EndTray

    Delete "$INSTDIR\TalvikSvc.exe"
    Delete "$INSTDIR\talviktray.exe"
    Delete "$INSTDIR\avutil-56.dll"
    Delete "$INSTDIR\avcodec-58.dll"
    Delete "$INSTDIR\swresample-3.dll"
    Delete "$INSTDIR\swscale-5.dll"
    Delete "$INSTDIR\vidrelo.png"
    Delete "$INSTDIR\barcode.png"
    Delete "$INSTDIR\Vidrelo.ini"
    ; What the programs wrote there: their logs with the rotated ones, and
    ; crash dumps.
    Delete "$INSTDIR\log.txt"
    Delete "$INSTDIR\log.1.txt"
    Delete "$INSTDIR\log.2.txt"
    Delete "$INSTDIR\talviktray.log"
    Delete "$INSTDIR\talviktray.1.log"
    Delete "$INSTDIR\talviktray.2.log"
    Delete "$INSTDIR\crash*.dmp"
    Delete "$INSTDIR\uninst.exe"
    ; Never recursive: the directory may be one the user chose and holds
    ; other things.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    MessageBox MB_YESNO|MB_ICONQUESTION "Forget the picture size the camera last asked for?" /SD IDNO IDNO keep
        DeleteRegValue HKLM "${SETTINGS_KEY}" "Setup"
        DeleteRegKey /ifempty HKLM "${SETTINGS_KEY}"
        DeleteRegKey /ifempty HKLM "Software\Talvik"
    keep:
SectionEnd
