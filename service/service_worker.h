// The service worker: owns the engine and drives it with a one-shot 16 ms
// tick, re-armed after each Tick so that ticks never pile up.
//
// Order at start: crash handler, stop event and tick timer, tray notifier,
// engine construction, engine Start, RUNNING, first tick 16 ms later.
// Order at stop: loop exit, tray notification 0, engine Stop, the tray
// notifier finishes its queue, engine destruction, timer closed, STOPPED.
//
// The platform half (service control manager or foreground daemon) provides
// the wait objects, the clock and the status reports.
#pragma once

#include <cstdint>

namespace talvik {

class WorkerPlatform {
public:
    virtual ~WorkerPlatform() = default;

    // Installs the crash handler, keeping the one it replaces.
    virtual void InstallCrashHandler() = 0;
    // Creates the stop event and the tick timer; false when either could not
    // be made (the worker then reports STOPPED at once).
    virtual bool CreateWaitObjects() = 0;
    virtual void ReportRunning() = 0;
    // Arms the one-shot timer 16 ms from now.
    virtual void ArmTimer() = 0;
    // Takes the clock's start point.
    virtual void StartClock() = 0;
    // Waits for the stop event (checked first) or the timer: true when the
    // timer fired, false when the service is to stop.
    virtual bool WaitForTick() = 0;
    // Milliseconds since StartClock, wrapping at 2^32.
    virtual std::uint32_t ElapsedMs() = 0;
    virtual void CloseTimer() = 0;
    virtual void ReportStopped() = 0;
};

// Runs the worker to its end on the calling thread.
void RunServiceWorker(WorkerPlatform& platform);

} // namespace talvik
