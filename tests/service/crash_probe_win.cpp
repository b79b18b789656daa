// Crashes with the service's crash handler installed. The handler replaces
// a filter of the probe's own, which ends the process with exit code 3 once
// the handler has handed the exception on to it.
#include "service/crash_handler.h"

#include <windows.h>

namespace {

LONG WINAPI EndProcess(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int main()
{
    SetUnhandledExceptionFilter(EndProcess);
    talvik::InstallCrashHandler();
    volatile int* volatile target = nullptr;
    *target = 1;
    return 0;
}
