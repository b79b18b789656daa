#include "tests/service/child_process_win.h"

namespace talvik::test {

std::string SiblingProgram(const char* name)
{
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string path(self, length);
    return path.substr(0, path.rfind('\\') + 1) + name;
}

ChildProcess::ChildProcess(const std::string& program, const std::string& arguments, DWORD flags)
{
    std::string command = '"' + program + '"' + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                              &process_) != 0;
}

ChildProcess::~ChildProcess()
{
    if (!started_)
        return;
    if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0 && TerminateProcess(process_.hProcess, 1))
        WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

long long ChildProcess::ExitCode(DWORD timeoutMs)
{
    DWORD exitCode = 0;
    if (started_ && WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process_.hProcess, &exitCode))
        return exitCode;
    return -1;
}

} // namespace talvik::test
