// TalvikSvc on Linux: "install" (any letter case) writes and enables a
// systemd user unit; anything else runs the service in the foreground until
// SIGINT or SIGTERM. The exit code is 0 on every path.
#include "service/daemon_platform_linux.h"
#include "service/user_unit_linux.h"

#include "base/console_status.h"
#include "base/runtime_directory_posix.h"

#include <malloc.h>
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

    // Every thread that allocates would otherwise get a heap arena of its
    // own (up to eight per core), each keeping what was freed in it: over
    // the first hundreds of phone sessions the resident memory grows by a
    // megabyte that is never used again. Two arenas are plenty for a
    // service whose threads mostly wait. An allocator that does not take
    // the setting (a sanitizer's) keeps arenas its own way: nothing to do.
    [[maybe_unused]] const int limited = mallopt(M_ARENA_MAX, 2);

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
    // Without XDG_RUNTIME_DIR the files that other programs look for lie
    // somewhere a person would not guess: say where.
    if (const talvik::RuntimeDirectory runtime = talvik::FindRuntimeDirectory(); !runtime.fromEnvironment)
        talvik::ConsoleStatus(
            runtime.path.empty()
                ? "files: XDG_RUNTIME_DIR is not set and " + runtime.problem +
                      ": no camera file, sound ring file or tray socket"
                : "files: XDG_RUNTIME_DIR is not set; the camera file, the sound ring file and the tray socket are in " +
                      runtime.path);
    talvik::DaemonPlatform platform(stopSignals);
    talvik::RunServiceWorker(platform);
    talvik::ConsoleStatus("stopped");
    return 0;
}
