// The named pipe is opened for overlapped I/O so that the wait for the
// tray's answer can be bounded: a tray that reads the notification but never
// answers would otherwise hold the caller for good.
#include "service/tray_pipe.h"

#include "base/tray_link.h"

#include <windows.h>

namespace talvik {

namespace {

constexpr int kOpenAttempts = 2;
constexpr DWORD kBusyWaitMs = 10;

enum class Io { kDone, kMoreData, kFailed, kTimedOut };

// Closes a handle when it goes out of scope.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle()
    {
        if (valid())
            CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Opens the endpoint, trying twice when it is busy. On failure the handle is
// invalid and `failure` says why.
HANDLE OpenPipe(const std::string& endpoint, TrayDelivery& failure)
{
    for (int attempt = 1;; ++attempt) {
        HANDLE pipe = CreateFileA(endpoint.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        if (GetLastError() != ERROR_PIPE_BUSY) {
            failure = TrayDelivery::kMissing;
            return INVALID_HANDLE_VALUE;
        }
        if (attempt == kOpenAttempts || !WaitNamedPipeA(endpoint.c_str(), kBusyWaitMs)) {
            failure = TrayDelivery::kBusy;
            return INVALID_HANDLE_VALUE;
        }
    }
}

// Finishes an overlapped operation started on `pipe` (`started` is what
// ReadFile or WriteFile returned) by `deadline` (GetTickCount64). On time-out
// the operation is cancelled and its end awaited, so that neither
// `overlapped` nor the buffer is in use once this returns.
Io Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, ULONGLONG deadline, DWORD& bytes)
{
    if (!started) {
        const DWORD error = GetLastError();
        if (error == ERROR_MORE_DATA)
            return Io::kMoreData;
        if (error != ERROR_IO_PENDING)
            return Io::kFailed;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD waitMs = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    const DWORD waited = WaitForSingleObject(overlapped.hEvent, waitMs);
    const bool timedOut = waited != WAIT_OBJECT_0;
    if (timedOut)
        CancelIo(pipe);
    if (GetOverlappedResult(pipe, &overlapped, &bytes, TRUE))
        return Io::kDone; // it may have completed just before the cancel
    if (GetLastError() == ERROR_MORE_DATA)
        return Io::kMoreData;
    return timedOut && waited == WAIT_TIMEOUT ? Io::kTimedOut : Io::kFailed;
}

} // namespace

TrayDelivery SendToTray(const std::string& endpoint, int code, std::uint32_t answerTimeoutMs)
{
    TrayDelivery failure = TrayDelivery::kFailed;
    ScopedHandle pipe(OpenPipe(endpoint, failure));
    if (!pipe.valid())
        return failure;
    const ULONGLONG deadline = GetTickCount64() + answerTimeoutMs;

    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr))
        return TrayDelivery::kFailed;
    ScopedHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.valid())
        return TrayDelivery::kFailed;

    const auto message = TrayMessage(code);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD bytes = 0;
    BOOL started = WriteFile(pipe.get(), message.data(), kTrayMessageBytes, nullptr, &overlapped);
    if (Finish(pipe.get(), overlapped, started, deadline, bytes) != Io::kDone || bytes != kTrayMessageBytes)
        return TrayDelivery::kFailed;

    // The answer's content does not matter; a longer one is read to its end.
    char answer[kTrayAnswerBufferBytes];
    for (;;) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        started = ReadFile(pipe.get(), answer, sizeof answer, nullptr, &overlapped);
        switch (Finish(pipe.get(), overlapped, started, deadline, bytes)) {
        case Io::kDone:
            return TrayDelivery::kAnswered;
        case Io::kMoreData:
            continue;
        case Io::kTimedOut:
            return TrayDelivery::kNoAnswer;
        case Io::kFailed:
            return TrayDelivery::kFailed;
        }
    }
}

} // namespace talvik
