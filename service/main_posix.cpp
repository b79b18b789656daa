// TalvikSvc on Linux: "install" (any letter case) writes and enables a
// systemd user unit; anything else runs the service in the foreground until
// SIGINT or SIGTERM. The exit code is 0 on every path.
#include "service/daemon_platform_posix.h"
#include "service/user_unit_posix.h"

#include <signal.h>
#include <strings.h>

#include <cstdio>
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
    talvik::DaemonPlatform platform(stopSignals);
    talvik::RunServiceWorker(platform);
    return 0;
}
