#include "service/stop_signal.h"

#include <windows.h>

namespace talvik {

namespace {

HANDLE stopEvent;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(stopEvent);
        return TRUE;
    }
    return FALSE;
}

} // namespace

void WaitForStopSignal()
{
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    WaitForSingleObject(stopEvent, INFINITE);
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(stopEvent);
}

} // namespace talvik
