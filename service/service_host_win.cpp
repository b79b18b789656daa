// The service's run under the SCM: ServiceMain, the control handler, the
// status reports, and the worker's platform (stop event, one-shot tick
// timer, performance-counter clock).
//
// Two threads meet here: the dispatcher (main) thread runs the control
// handler, the ServiceMain thread runs the worker. One lock orders their
// status reports, so that the two STOP_PENDING reports of a STOP can never
// land after the worker's STOPPED, and nothing is reported once STOPPED
// has been.
#include "service/service_host_win.h"

#include "service/crash_handler.h"
#include "service/service_worker.h"

#include <windows.h>

#include <spdlog/spdlog.h>

#include <cstdint>
#include <mutex>

namespace talvik {

namespace {

constexpr DWORD kStartWaitHintMs = 3000;
constexpr DWORD kTickMs = 16;
// The tick in 100-ns units, negative for "relative to now".
constexpr LONGLONG kTickDueTime = -160000;

// What the handler and the worker share.
struct ServiceState {
    std::mutex lock;
    SERVICE_STATUS status{};
    SERVICE_STATUS_HANDLE handle = nullptr;
    DWORD checkpoint = 1;
    HANDLE stopEvent = nullptr;
    bool stopped = false;
};

ServiceState service;

// The caller holds service.lock.
void ReportServiceStatusLocked(DWORD state, DWORD waitHint)
{
    if (service.stopped)
        return;
    SERVICE_STATUS& status = service.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : service.checkpoint++;
    service.stopped = state == SERVICE_STOPPED;
    // A refused report leaves the SCM with the previous state, and there is
    // nobody to tell: the logger may already be gone.
    SetServiceStatus(service.handle, &status);
}

void ReportServiceStatus(DWORD state, DWORD waitHint)
{
    std::lock_guard<std::mutex> guard(service.lock);
    ReportServiceStatusLocked(state, waitHint);
}

void WINAPI ServiceCtrlHandler(DWORD control)
{
    // INTERROGATE and every other control: nothing is reported or changed.
    if (control != SERVICE_CONTROL_STOP)
        return;
    std::lock_guard<std::mutex> guard(service.lock);
    ReportServiceStatusLocked(SERVICE_STOP_PENDING, 0);
    if (service.stopEvent != nullptr)
        SetEvent(service.stopEvent);
    ReportServiceStatusLocked(SERVICE_STOP_PENDING, 0);
}

class ScmWorkerPlatform final : public WorkerPlatform {
public:
    void InstallCrashHandler() override { talvik::InstallCrashHandler(); }

    bool CreateWaitObjects() override
    {
        HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        timer_ = CreateWaitableTimerA(nullptr, TRUE, nullptr);
        if (stopEvent == nullptr || timer_ == nullptr) {
            if (stopEvent != nullptr)
                CloseHandle(stopEvent);
            CloseTimer();
            return false;
        }
        std::lock_guard<std::mutex> guard(service.lock);
        service.stopEvent = stopEvent;
        stopEvent_ = stopEvent;
        return true;
    }

    void ReportRunning() override { ReportServiceStatus(SERVICE_RUNNING, 0); }

    void ArmTimer() override
    {
        LARGE_INTEGER due;
        due.QuadPart = kTickDueTime;
        timerArmed_ = SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) != 0;
        if (!timerArmed_ && !timerFailureLogged_) {
            spdlog::error("SetWaitableTimer failed: {0}", GetLastError());
            timerFailureLogged_ = true;
        }
    }

    void StartClock() override
    {
        // Neither call can fail on any Windows since XP.
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }

    bool WaitForTick() override
    {
        // Without a timer the tick comes from the stop event's time-out, so
        // that the engine keeps running.
        if (!timerArmed_)
            return WaitForSingleObject(stopEvent_, kTickMs) == WAIT_TIMEOUT;
        // The stop event comes first: it wins when both are signalled.
        const HANDLE objects[2] = {stopEvent_, timer_};
        const DWORD result = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0 + 1)
            return true;
        if (result != WAIT_OBJECT_0)
            spdlog::error("WaitForMultipleObjects failed: {0}", GetLastError());
        return false;
    }

    std::uint32_t ElapsedMs() override
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const double microsecondsPerCount = 1000000.0 / static_cast<double>(frequency_.QuadPart);
        const double elapsedUs = static_cast<double>(now.QuadPart) * microsecondsPerCount -
                                 static_cast<double>(start_.QuadPart) * microsecondsPerCount;
        // Through 64 bits, so that the count wraps at 2^32 ms rather than
        // overflowing the conversion.
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(elapsedUs * 0.001));
    }

    void CloseTimer() override
    {
        if (timer_ != nullptr)
            CloseHandle(timer_);
        timer_ = nullptr;
    }

    void ReportStopped() override
    {
        std::lock_guard<std::mutex> guard(service.lock);
        ReportServiceStatusLocked(SERVICE_STOPPED, 0);
        if (service.stopEvent != nullptr)
            CloseHandle(service.stopEvent);
        service.stopEvent = nullptr;
        stopEvent_ = nullptr;
    }

private:
    HANDLE stopEvent_ = nullptr;
    HANDLE timer_ = nullptr;
    bool timerArmed_ = false;
    bool timerFailureLogged_ = false;
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    {
        std::lock_guard<std::mutex> guard(service.lock);
        service.handle = RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
        if (service.handle == nullptr)
            return;
        ReportServiceStatusLocked(SERVICE_START_PENDING, kStartWaitHintMs);
    }
    ScmWorkerPlatform platform;
    RunServiceWorker(platform);
}

} // namespace

void RunServiceDispatcher()
{
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    // Fails at once when the SCM did not start the process; the process
    // ends with 0 either way.
    StartServiceCtrlDispatcherA(table);
}

} // namespace talvik
