// The tray's end of the link from the service (see base/tray_link.h): one
// endpoint that serves one client at a time.
//
// The server is polled, never waited on: PollPipeServer does only what has
// completed since the last poll and returns, so the program's one thread
// stays free for its window or main loop. Each message a client writes is
// handed to the handler with the code of its first byte and then answered
// with "Default answer from server" and its NUL, whatever it held. A client
// that closes its end, or a failed read or write, frees the endpoint for
// the next client (ConnectClient). While a client is served, another one
// finds the endpoint busy.
//
// Windows: one overlapped message-mode instance of the named pipe. Linux: a
// SOCK_SEQPACKET socket whose one-entry backlog is filled while a client is
// served, so that the next connect fails with EAGAIN, which the service
// takes for busy.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace talvik {

class PipeServer {
public:
    using Handler = std::function<void(int code)>;

    explicit PipeServer(Handler onMessage);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the endpoint and starts waiting for a client. False (logged)
    // when it cannot be created: the program runs without a pipe server.
    bool Create(const std::string& endpoint);

    void PollPipeServer();

#ifdef _WIN32
    // The pipe's handle, so that a test can make its pending connect fail.
    void* Handle() const;
#endif

private:
    // Drops the client (unless `atCreation`) and waits for the next one.
    void ConnectClient(bool atCreation);

    struct Instance;
    Handler onMessage_;
    std::unique_ptr<Instance> instance_;
};

} // namespace talvik
