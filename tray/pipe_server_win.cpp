// Windows: the one overlapped, message-mode instance of the named pipe.
// Each poll collects only what has completed (the event says so) and starts
// the next step; nothing here waits.
#include "tray/pipe_server.h"

#include "base/tray_link.h"
#include "tray/tray_app.h"

#include <windows.h>

#include <spdlog/spdlog.h>

#include <cstring>

namespace talvik {

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kDefaultTimeoutMs = 5000;
constexpr DWORD kLastAnswerWaitMs = 1000;

enum class State { kConnecting = 0, kReading = 1, kWriting = 2 };

} // namespace

struct PipeServer::Instance {
    HANDLE event = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    char request[kBufferBytes];
    DWORD bytesRead = 0;
    char reply[kBufferBytes];
    DWORD bytesToWrite = 0;
    State state = State::kConnecting;
    bool pending = false;

    ~Instance()
    {
        if (pipe != INVALID_HANDLE_VALUE) {
            // A connected client may not have taken the answer yet (that of
            // the code 0 that ended the program): closing the pipe would
            // drop it. The client is given a short while to take it and hang
            // up, which ends the read or write under way. Whatever is still
            // under way then is cancelled, and must end before its record
            // goes.
            if (pending && (state == State::kConnecting ||
                            WaitForSingleObject(event, kLastAnswerWaitMs) != WAIT_OBJECT_0))
                CancelIo(pipe);
            DWORD bytes = 0;
            if (pending)
                GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
            CloseHandle(pipe);
        }
        if (event != nullptr)
            CloseHandle(event);
    }
};

PipeServer::PipeServer(Handler onMessage) : onMessage_(std::move(onMessage)) {}

PipeServer::~PipeServer() = default;

bool PipeServer::Create(const std::string& endpoint)
{
    auto instance = std::make_unique<Instance>();
    instance->event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (instance->event == nullptr) {
        spdlog::error("Tray pipe event not created: {0}", GetLastError());
        return false;
    }
    instance->overlapped.hEvent = instance->event;
    instance->pipe = CreateNamedPipeA(endpoint.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, kBufferBytes,
                                      kBufferBytes, kDefaultTimeoutMs, nullptr);
    if (instance->pipe == INVALID_HANDLE_VALUE) {
        spdlog::error("Tray pipe {0} not created: {1}", endpoint, GetLastError());
        return false;
    }
    instance_ = std::move(instance);
    ConnectClient(true);
    return true;
}

void* PipeServer::Handle() const
{
    return instance_ ? instance_->pipe : nullptr;
}

void PipeServer::ConnectClient(bool atCreation)
{
    Instance& pipe = *instance_;
    if (!atCreation)
        DisconnectNamedPipe(pipe.pipe);
    pipe.overlapped = OVERLAPPED{};
    pipe.overlapped.hEvent = pipe.event;
    if (ConnectNamedPipe(pipe.pipe, &pipe.overlapped)) {
        // An overlapped connect reports completion through the event only.
        pipe.pending = false;
        pipe.state = State::kReading;
        return;
    }
    switch (GetLastError()) {
    case ERROR_IO_PENDING:
        pipe.pending = true;
        pipe.state = State::kConnecting;
        break;
    case ERROR_PIPE_CONNECTED:
        // A client came between the disconnect and the connect.
        SetEvent(pipe.event);
        pipe.pending = false;
        pipe.state = State::kReading;
        break;
    default:
        pipe.pending = false;
        pipe.state = State::kReading;
        break;
    }
}

void PipeServer::PollPipeServer()
{
    if (!instance_)
        return;
    Instance& pipe = *instance_;
    for (;;) {
        if (WaitForSingleObject(pipe.event, 0) != WAIT_OBJECT_0)
            return;
        if (pipe.pending) {
            DWORD bytes = 0;
            const BOOL done = GetOverlappedResult(pipe.pipe, &pipe.overlapped, &bytes, FALSE);
            switch (pipe.state) {
            case State::kConnecting:
                if (!done) {
                    // A connect that ended in failure would otherwise leave
                    // the event signalled and the instance connecting for
                    // good: start over.
                    ConnectClient(false);
                    continue;
                }
                pipe.state = State::kReading;
                break;
            case State::kReading:
                if (!done || bytes == 0) {
                    ConnectClient(false);
                    continue;
                }
                pipe.bytesRead = bytes;
                pipe.state = State::kWriting;
                onMessage_(CodeOf(pipe.request[0]));
                break;
            case State::kWriting:
                if (!done || bytes != pipe.bytesToWrite) {
                    ConnectClient(false);
                    continue;
                }
                pipe.state = State::kReading;
                break;
            }
        }

        DWORD bytes = 0;
        switch (pipe.state) {
        case State::kReading:
            if (ReadFile(pipe.pipe, pipe.request, kBufferBytes, &bytes, &pipe.overlapped) && bytes > 0) {
                pipe.pending = false;
                pipe.bytesRead = bytes;
                pipe.state = State::kWriting;
                onMessage_(CodeOf(pipe.request[0]));
                continue;
            }
            if (GetLastError() == ERROR_IO_PENDING) {
                pipe.pending = true;
                continue;
            }
            // A message longer than the buffer also ends up here.
            ConnectClient(false);
            continue;
        case State::kWriting:
            lstrcpynA(pipe.reply, kTrayAnswer, kBufferBytes);
            pipe.bytesToWrite = static_cast<DWORD>(std::strlen(pipe.reply)) + 1;
            if (WriteFile(pipe.pipe, pipe.reply, pipe.bytesToWrite, &bytes, &pipe.overlapped) &&
                bytes == pipe.bytesToWrite) {
                pipe.pending = false;
                pipe.state = State::kReading;
                continue;
            }
            if (GetLastError() == ERROR_IO_PENDING) {
                pipe.pending = true;
                continue;
            }
            ConnectClient(false);
            continue;
        case State::kConnecting:
            return;
        }
    }
}

} // namespace talvik
