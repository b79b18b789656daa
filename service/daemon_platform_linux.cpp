#include "service/daemon_platform_linux.h"

#include "service/crash_handler.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace talvik {

namespace {

constexpr long kTickNs = 16 * 1000 * 1000;

std::uint64_t MonotonicNs()
{
    timespec now{};
    // CLOCK_MONOTONIC cannot fail with a valid pointer.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// Reads what made `fd` readable, so that it is not reported again.
template <typename Record>
void Drain(int fd)
{
    Record record;
    while (read(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record)) {
    }
}

} // namespace

DaemonPlatform::~DaemonPlatform()
{
    CloseTimer();
    if (stopFd_ >= 0)
        close(stopFd_);
}

void DaemonPlatform::InstallCrashHandler()
{
    talvik::InstallCrashHandler();
}

bool DaemonPlatform::CreateWaitObjects()
{
    // Nothing logs yet (the engine sets the logger up): failures go to
    // standard error, which the journal keeps.
    stopFd_ = signalfd(-1, &stopSignals_, SFD_NONBLOCK | SFD_CLOEXEC);
    if (stopFd_ < 0) {
        std::fprintf(stderr, "TalvikSvc: no stop signal descriptor: %s\n", std::strerror(errno));
        return false;
    }
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ < 0) {
        std::fprintf(stderr, "TalvikSvc: no tick timer: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

void DaemonPlatform::ArmTimer()
{
    itimerspec due{};
    due.it_value.tv_nsec = kTickNs;
    // Without the timer no tick comes, but SIGTERM still stops the service.
    if (timerfd_settime(timerFd_, 0, &due, nullptr) != 0)
        spdlog::error("Tick timer could not be armed: {0}", std::strerror(errno));
}

void DaemonPlatform::StartClock()
{
    startNs_ = MonotonicNs();
}

bool DaemonPlatform::WaitForTick()
{
    for (;;) {
        pollfd waits[2] = {{stopFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            // Stopping is safer than spinning on a wait that keeps failing.
            spdlog::error("Service wait failed: {0}", std::strerror(errno));
            return false;
        }
        if (waits[0].revents != 0) {
            Drain<signalfd_siginfo>(stopFd_);
            return false;
        }
        if (waits[1].revents != 0) {
            Drain<std::uint64_t>(timerFd_);
            return true;
        }
    }
}

std::uint32_t DaemonPlatform::ElapsedMs()
{
    // Truncated to whole milliseconds, then wrapped to 32 bits.
    return static_cast<std::uint32_t>((MonotonicNs() - startNs_) / 1000000u);
}

void DaemonPlatform::CloseTimer()
{
    if (timerFd_ >= 0)
        close(timerFd_);
    timerFd_ = -1;
}

} // namespace talvik
