// Post-mortem record of a crash, written beside the service's executable.
//
// Windows: an unhandled-exception filter that writes the minidump
// "crash<GetTickCount()>.dmp" (process and thread data, scanned memory),
// then hands the exception to the filter it replaced. Linux: a handler for
// the fatal signals that writes the short report "crash<ms since boot>.txt"
// (signal, fault address, backtrace) and lets the signal end the process as
// it would have without the handler.
#pragma once

namespace talvik {

void InstallCrashHandler();

} // namespace talvik
