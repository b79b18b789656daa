// The service worker's platform on Linux, where the service is a foreground
// daemon (run by a systemd user unit or from a terminal).
//
// Stop event: a signalfd for SIGINT and SIGTERM, which the caller must have
// blocked in every thread, that is, before the first thread was started.
// Tick timer: a one-shot CLOCK_MONOTONIC timerfd. The wait polls both, the
// signalfd first. Status reports have no receiver here and do nothing.
#pragma once

#include "service/service_worker.h"

#include <signal.h>

#include <cstdint>

namespace talvik {

class DaemonPlatform final : public WorkerPlatform {
public:
    explicit DaemonPlatform(const sigset_t& stopSignals) : stopSignals_(stopSignals) {}
    ~DaemonPlatform() override;
    DaemonPlatform(const DaemonPlatform&) = delete;
    DaemonPlatform& operator=(const DaemonPlatform&) = delete;

    void InstallCrashHandler() override;
    bool CreateWaitObjects() override;
    void ReportRunning() override {}
    void ArmTimer() override;
    void StartClock() override;
    bool WaitForTick() override;
    std::uint32_t ElapsedMs() override;
    void CloseTimer() override;
    void ReportStopped() override {}

private:
    sigset_t stopSignals_;
    int stopFd_ = -1;
    int timerFd_ = -1;
    std::uint64_t startNs_ = 0;
};

} // namespace talvik
