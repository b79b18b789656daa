// A pipe server made like the tray's: one instance, overlapped, message
// mode, 4096-byte buffers. It serves one client at a time and hands every
// message it reads to a handler, whose answer, if any, it writes back.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace talvik::test {

class TrayPipeServer {
public:
    // The answer to write, or nothing to leave the message unanswered.
    using Handler = std::function<std::optional<std::string>(const std::string& message)>;

    // Creates the pipe instance; ok() tells whether it could be made.
    explicit TrayPipeServer(const std::string& name);
    ~TrayPipeServer();
    TrayPipeServer(const TrayPipeServer&) = delete;
    TrayPipeServer& operator=(const TrayPipeServer&) = delete;

    bool ok() const { return pipe_ != INVALID_HANDLE_VALUE && event_ != nullptr; }

    // Serves clients, one after the other, until `stop` is signalled or
    // `timeoutMs` has passed. A pending answer is written to its end even
    // when `stop` is signalled meanwhile.
    void Serve(HANDLE stop, DWORD timeoutMs, const Handler& handler);

private:
    bool Connect(HANDLE stop, ULONGLONG deadline);
    bool Await(BOOL started, HANDLE stop, ULONGLONG deadline, DWORD& bytes);

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_{};
};

} // namespace talvik::test
