#include "service/crash_handler.h"

#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <cstring>

namespace talvik {

namespace {

// Process and thread data plus the memory their stacks point into.
constexpr MINIDUMP_TYPE kDumpType = static_cast<MINIDUMP_TYPE>(MiniDumpWithProcessThreadData | MiniDumpScanMemory);

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;

// "<executable's directory>\crash<ms since system start>.dmp"; false when
// it does not fit the buffer.
bool DumpPath(char (&path)[MAX_PATH])
{
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    char* slash = std::strrchr(path, '\\');
    if (slash == nullptr)
        return false;
    const std::size_t room = MAX_PATH - static_cast<std::size_t>(slash - path);
    const int written = std::snprintf(slash, room, "\\crash%lu.dmp", GetTickCount());
    return written > 0 && static_cast<std::size_t>(written) < room;
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exception)
{
    char path[MAX_PATH];
    if (!DumpPath(path))
        return EXCEPTION_CONTINUE_SEARCH;
    // A second crash at the same tick count overwrites the first dump.
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return EXCEPTION_CONTINUE_SEARCH;
    MINIDUMP_EXCEPTION_INFORMATION info{GetCurrentThreadId(), exception, TRUE};
    if (!MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, kDumpType, &info, nullptr, nullptr)) {
        // Not to the log: the logger may be what failed.
        std::printf("Failed to capture minidump hr=%lx\n", GetLastError());
        std::fflush(stdout);
    }
    CloseHandle(file);
    return previousFilter != nullptr ? previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

void InstallCrashHandler()
{
    previousFilter = SetUnhandledExceptionFilter(CrashDumpFilter);
}

} // namespace talvik
