// TalvikSvc on Linux: "install" (any letter case) writes and enables a
// systemd user unit; anything else runs the service in the foreground until
// SIGINT or SIGTERM. The exit code is 0 on every path.
#include "service/daemon_platform_posix.h"
#include "service/user_unit_posix.h"

#include "base/console_status.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    // Blocked before any thread exists, so that every thread inherits the
    // mask and the stop signals reach only the worker's signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    const int blocked = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    if (blocked != 0) {
        // SIGTERM would then end the process without the orderly stop.
        std::fprintf(stderr, "TalvikSvc: cannot block the stop signals: %s\n", std::strerror(blocked));
        return 0;
    }

    if (argc > 1 && strcasecmp(argv[1], "install") == 0) {
        talvik::InstallUserUnit();
        return 0;
    }
    // A person watching in a terminal is told what happens; under systemd
    // (which sets INVOCATION_ID) the service stays quiet.
    talvik::ShowConsoleStatus(isatty(STDERR_FILENO) == 1 && std::getenv("INVOCATION_ID") == nullptr);
    // The DNS-SD library's compatibility layer would warn on every start.
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);
    talvik::ConsoleStatus("starting (Ctrl+C stops it)");
    talvik::DaemonPlatform platform(stopSignals);
    talvik::RunServiceWorker(platform);
    talvik::ConsoleStatus("stopped");
    return 0;
}
