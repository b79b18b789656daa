#include "service/user_session.h"

#include <windows.h>

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstring>

namespace talvik {

namespace {

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

} // namespace

bool LaunchInUserSession(const ProgramCommand& command, bool hidden)
{
    const std::optional<std::string> text = CommandLineText(command);
    if (!text)
        return false;
    // CreateProcessAsUserA may write into its command line.
    char commandLine[kCommandLineBytes];
    std::memcpy(commandLine, text->c_str(), text->size() + 1);

    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == kNoConsoleSession)
        return false;
    HANDLE userToken = nullptr;
    if (!WTSQueryUserToken(session, &userToken))
        return false; // nobody is logged on at the console
    HANDLE token = nullptr;
    const BOOL duplicated =
        DuplicateTokenEx(userToken, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, &token);
    CloseHandle(userToken);
    if (!duplicated)
        return false;

    char desktop[] = "Winsta0\\Default";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    if (hidden) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }
    PROCESS_INFORMATION process{};
    // The program is named explicitly: taken from an unquoted command line,
    // a path with blanks would first be tried as "C:\Program.exe" and the
    // like. The program still sees the command line as it is.
    const BOOL created = CreateProcessAsUserA(token, command.program.c_str(), commandLine, nullptr, nullptr, FALSE,
                                              0, nullptr, nullptr, &startup, &process);
    CloseHandle(token);
    if (!created)
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool IsAppleMobileDeviceServiceRunning()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    // The first entry is the idle process.
    if (Process32First(snapshot, &entry)) {
        while (!found && Process32Next(snapshot, &entry))
            found = lstrcmpiA(entry.szExeFile, "AppleMobileDeviceService.exe") == 0;
    }
    CloseHandle(snapshot);
    return found;
}

} // namespace talvik
