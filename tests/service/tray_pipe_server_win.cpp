#include "tests/service/tray_pipe_server_win.h"

namespace talvik::test {

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kDefaultTimeoutMs = 5000;

} // namespace

TrayPipeServer::TrayPipeServer(const std::string& name)
{
    pipe_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kBufferBytes, kBufferBytes,
                             kDefaultTimeoutMs, nullptr);
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    overlapped_.hEvent = event_;
}

TrayPipeServer::~TrayPipeServer()
{
    if (pipe_ != INVALID_HANDLE_VALUE)
        CloseHandle(pipe_);
    if (event_ != nullptr)
        CloseHandle(event_);
}

void TrayPipeServer::Serve(HANDLE stop, DWORD timeoutMs, const Handler& handler)
{
    if (!ok())
        return;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (!Connect(stop, deadline)) {
            const bool stopped = stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
            if (stopped || GetTickCount64() >= deadline)
                return;
            // A client that came and went before the connect.
            DisconnectNamedPipe(pipe_);
            continue;
        }
        char request[kBufferBytes];
        DWORD bytes = 0;
        while (Await(ReadFile(pipe_, request, kBufferBytes, nullptr, &overlapped_), stop, deadline, bytes)) {
            const std::optional<std::string> answer = handler(std::string(request, bytes));
            if (answer && !Await(WriteFile(pipe_, answer->data(), static_cast<DWORD>(answer->size()), nullptr,
                                           &overlapped_),
                                 nullptr, deadline, bytes))
                break;
        }
        // Disconnecting discards what the client has not read yet.
        FlushFileBuffers(pipe_);
        DisconnectNamedPipe(pipe_);
    }
}

bool TrayPipeServer::Connect(HANDLE stop, ULONGLONG deadline)
{
    DWORD bytes = 0;
    const BOOL started = ConnectNamedPipe(pipe_, &overlapped_);
    if (!started && GetLastError() == ERROR_PIPE_CONNECTED)
        return true;
    return Await(started, stop, deadline, bytes);
}

// Finishes the operation started on overlapped_; false when it failed, or
// when `stop` or the deadline came first (the operation is then cancelled).
bool TrayPipeServer::Await(BOOL started, HANDLE stop, ULONGLONG deadline, DWORD& bytes)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    const ULONGLONG now = GetTickCount64();
    const DWORD waitMs = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    const HANDLE objects[2] = {event_, stop};
    if (WaitForMultipleObjects(stop != nullptr ? 2 : 1, objects, FALSE, waitMs) != WAIT_OBJECT_0)
        CancelIo(pipe_);
    return GetOverlappedResult(pipe_, &overlapped_, &bytes, TRUE) != 0;
}

} // namespace talvik::test
