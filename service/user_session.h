// The logged-on user's desktop session, as the service sees it.
#pragma once

#include "base/program_command.h"

namespace talvik {

// Starts `command` on the console user's desktop; `hidden` starts it without
// a window. Never waits for the program. False when nothing was started
// (Windows: no active console session, nobody logged on, the token could not
// be duplicated, the command line does not fit or the process could not be
// made); nothing is logged. Windows closes the token, process and thread
// handles; Linux reaps the programs it started once they end.
bool LaunchInUserSession(const ProgramCommand& command, bool hidden);

// Whether the USB multiplexer's service runs: a process named
// "AppleMobileDeviceService.exe" (any letter case) on Windows, a "usbmuxd"
// process on Linux.
bool IsAppleMobileDeviceServiceRunning();

} // namespace talvik
