// Programs that the Windows host tests start.
#pragma once

#include <windows.h>

#include <string>

namespace talvik::test {

// `name` in the directory of the running test program.
std::string SiblingProgram(const char* name);

// `program` started with `arguments` and the process creation `flags`; ended
// by force if it still runs when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::string& arguments, DWORD flags = 0);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return started_; }
    // Waits up to `timeoutMs` for the end: the exit code, or -1 when the
    // program was not started or still runs.
    long long ExitCode(DWORD timeoutMs);

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

} // namespace talvik::test
