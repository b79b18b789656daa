#include "session/connection_manager.h"

#include "base/console_status.h"
#include "session/messages.h"
#include "session/network_check.h"
#include "session/socket_library.h"

#include <spdlog/spdlog.h>
#include <uv.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace talvik {

namespace {

// libuv handles and requests allocated here and not yet freed; shown in
// trace lines only, to spot leaks in a log.
std::atomic<int> pending{0};

const void* Ptr(const void* p)
{
    return p;
}

bool InSession(ConnectionState state, ConnectionState connecting, ConnectionState connected)
{
    return state == connecting || state == connected;
}

bool IsWifi(ConnectionState state)
{
    return InSession(state, ConnectionState::WifiConnecting, ConnectionState::WifiConnected);
}

bool IsUsb(ConnectionState state)
{
    return InSession(state, ConnectionState::UsbConnecting, ConnectionState::UsbConnected);
}

// A handle of the manager's own (not counted as pending), closed and freed.
template <typename Handle>
void CloseOwnHandle(Handle*& handle)
{
    if (handle)
        uv_close(reinterpret_cast<uv_handle_t*>(handle),
                 [](uv_handle_t* closed) { delete reinterpret_cast<Handle*>(closed); });
    handle = nullptr;
}

} // namespace

const char* ConnectionStateName(ConnectionState state)
{
    switch (state) {
    case ConnectionState::Idle: return "IDLE";
    case ConnectionState::WifiConnecting: return "WIFI CONNECTING";
    case ConnectionState::WifiConnected: return "WIFI CONNECTED";
    case ConnectionState::UsbConnecting: return "USB CONNECTING";
    case ConnectionState::UsbConnected: return "USB CONNECTED";
    }
    return "UNKNOWN";
}

// An outbound connect, tagged with the IDLE period it was started in.
struct ConnectionManager::ConnectRequest {
    uv_connect_t request;
    ConnectionManager* self;
    std::uint64_t generation;
};

// A message copy that lives until libuv has written it.
struct ConnectionManager::WriteRequest {
    uv_write_t request;
    ConnectionManager* self;
    std::uint32_t length;
    std::uint8_t data[1];
};

ConnectionManager::ConnectionManager(ConnectionManagerObserver* observer)
    : ConnectionManager(observer, Options{})
{
}

ConnectionManager::ConnectionManager(ConnectionManagerObserver* observer, const Options& options)
    : observer_(observer), options_(options), parser_(*this, *observer), loop_(std::make_unique<uv_loop_t>())
{
    socketLibraryStarted_ = StartSocketLibrary();
    if (!socketLibraryStarted_)
        spdlog::error("WSAStartup failed");
    dnssd_ = DnsSdLibrary::Load(options_.dnsSdLibrary);
    int rc = uv_loop_init(loop_.get());
    if (rc != 0) {
        // Nothing of the WiFi side can run without it; USB still can.
        spdlog::error("uv_loop_init failed: {0}", uv_strerror(rc));
        loop_.reset();
    } else {
        loop_->data = &pool_;
        // Without these the WiFi loop still works, by polling.
        wake_ = new uv_async_t;
        rc = uv_async_init(loop_.get(), wake_, [](uv_async_t*) {});
        if (rc != 0) {
            spdlog::error("uv_async_init failed: {0}", uv_strerror(rc));
            delete wake_;
            wake_ = nullptr;
        }
        waitBound_ = new uv_timer_t;
        rc = uv_timer_init(loop_.get(), waitBound_);
        if (rc != 0) {
            spdlog::error("uv_timer_init failed: {0}", uv_strerror(rc));
            delete waitBound_;
            waitBound_ = nullptr;
        }
    }
    if (dnssd_ && loop_)
        bonjour_ = std::make_unique<BonjourManager>(dnssd_->binding(), this, loop_.get(), options_.port);
    if (options_.usbmuxd)
        usbListing_ = std::make_unique<UsbDeviceListing>(*options_.usbmuxd);
    StartLookingForConnections();
}

ConnectionManager::~ConnectionManager()
{
    spdlog::trace("Deleting ConnectionManager");
    stopRequested_.store(true);
    Wake();
    if (loopThread_.joinable())
        loopThread_.join();

    destroying_ = true;
    // Host lookups still queued are cancelled; running ones end in CloseLoop.
    if (bonjour_)
        bonjour_->StopResolve();
    CloseLoop();
    usb_.reset();
    usbPresent_.store(false);
    bonjour_.reset();
    dnssd_.reset();
    if (socketLibraryStarted_)
        StopSocketLibrary();
}

void ConnectionManager::CloseLoop()
{
    if (!loop_)
        return;
    // Close what is still open (the server, a client, connects in flight)
    // and let libuv finish every callback, so that nothing is leaked and no
    // callback can run into a half-destroyed object.
    CloseOwnHandle(wake_);
    CloseOwnHandle(waitBound_);
    uv_walk(
        loop_.get(),
        [](uv_handle_t* handle, void*) {
            if (!uv_is_closing(handle))
                uv_close(handle, on_close);
        },
        nullptr);
    uv_run(loop_.get(), UV_RUN_DEFAULT);
    const int rc = uv_loop_close(loop_.get());
    if (rc != 0) {
        // Something still refers to the loop's memory: it is left allocated.
        spdlog::error("uv_loop_close failed: {0}", uv_strerror(rc));
        (void)loop_.release();
    }
}

void ConnectionManager::Wake()
{
    wakeRequested_.store(true);
    if (wake_)
        uv_async_send(wake_);
}

void ConnectionManager::Tick(std::uint32_t now)
{
    now_.store(now);
    if (!loopStarted_ && options_.startLoopThread) {
        loopStarted_ = true;
        stopRequested_.store(false);
        loopThread_ = std::thread(&ConnectionManager::UVLoopRun, this);
    }
    if (state_.load() != ConnectionState::Idle && now - lastReceive_.load() > kSocketReadTimeoutMs &&
        !timeoutPending_.exchange(true))
        Wake();
}

void ConnectionManager::UVLoopRun()
{
    spdlog::trace("UVLoopRun");
    while (!stopRequested_.load())
        RunLoopPass();
    spdlog::trace("ConnectionManager loop finished");
}

bool ConnectionManager::OnLoopThread() const
{
    return loopThreadId_.load() == std::this_thread::get_id();
}

void ConnectionManager::HandleRequestsFromOtherThreads()
{
    wakeRequested_.store(false);
    if (timeoutPending_.exchange(false) && state_.load() != ConnectionState::Idle &&
        now_.load() - lastReceive_.load() > kSocketReadTimeoutMs) {
        spdlog::error("Socket read timeout");
        SetState(ConnectionState::Idle);
    }
    ClientFormat requested;
    while (streamRequests_.try_dequeue(requested))
        DoStartStreaming(requested);
}

void ConnectionManager::RunLoopPass()
{
    loopThreadId_.store(std::this_thread::get_id());
    HandleRequestsFromOtherThreads();
    const std::uint32_t now = now_.load();

    if (loop_ && !IsUsb(state_.load())) {
        if (IsWifi(state_.load()) && options_.idlePause)
            WaitForSocketEvents();
        else
            uv_run(loop_.get(), UV_RUN_NOWAIT);
    }

    if (now - lastBonjourRestart_ > kDiscoveryRestartMs && state_.load() == ConnectionState::Idle) {
        lastBonjourRestart_ = now;
        if (bonjour_)
            bonjour_->RestartResolve();
        // A taken port may have been freed since: WiFi phones can only
        // connect while something listens.
        if (!server_)
            StartListening();
    }
    if (bonjour_ && state_.load() == ConnectionState::Idle) {
        bonjour_->ProcessEvents();
        if (state_.load() == ConnectionState::Idle)
            bonjour_->ResolveNextHost();
    }
    if (now - lastNetworkCheck_ > kNetworkCheckMs && state_.load() == ConnectionState::Idle) {
        CheckNetwork();
        lastNetworkCheck_ = now;
    }
    if (usb_ && !IsWifi(state_.load()))
        ReadUsb();
    PublishUsbStatus();

    if (state_.load() == ConnectionState::Idle && options_.idlePause)
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePauseMs));
}

// A session's sockets are the only thing that happens on the WiFi side: the
// pass waits for them (a short while at most, so that the rest of the pass
// keeps its cadence), or for a request handed over from another thread.
void ConnectionManager::WaitForSocketEvents()
{
    if (!waitBound_ || wakeRequested_.load() || stopRequested_.load() ||
        uv_timer_start(waitBound_, [](uv_timer_t*) {}, kWifiWaitMs, 0) != 0) {
        uv_run(loop_.get(), UV_RUN_NOWAIT);
        return;
    }
    uv_run(loop_.get(), UV_RUN_ONCE);
    uv_timer_stop(waitBound_);
}

void ConnectionManager::ReadUsb()
{
    bool delivered = true;
    for (int i = 0; delivered && i < kUsbPacketsPerPass && usb_; ++i) {
        // Each read may wait up to 500 ms: a request from the engine's thread
        // that waited for the next pass would sit out several of them, and
        // the phone may give up meanwhile.
        if (i > 0)
            HandleRequestsFromOtherThreads();
        if (!usb_)
            break;
        std::uint32_t length = 0;
        bool failed = false;
        // A receive gives way to the engine's requests and to the stop.
        const std::uint8_t* packet = usb_->ReadPacket(now_.load(), length, failed, [this] {
            return wakeRequested_.load() || stopRequested_.load();
        });
        // The read may have waited while the engine's clock moved on; the
        // state changes below stamp with the clock as it is now, so measure
        // from that too (an older time would wrap the differences).
        const std::uint32_t now = now_.load();
        delivered = packet && length > 0;
        if (delivered) {
            if (state_.load() == ConnectionState::Idle)
                SetState(ConnectionState::UsbConnecting);
            if (parser_.ParseMessages(packet, length)) {
                lastUsbReceive_ = now;
            } else {
                spdlog::trace("Invalid data received");
                SetState(ConnectionState::Idle);
            }
            if (IsUsb(state_.load()) && now - lastKeepalive_ > kUsbKeepaliveMs) {
                SendKeepalive();
                lastKeepalive_ = now;
            }
        } else if (failed) {
            spdlog::trace("Error reading USB");
            if (state_.load() != ConnectionState::Idle) {
                SetState(ConnectionState::Idle);
            } else {
                // A phone that failed while being looked for is looked for
                // afresh (one subscription per process: old one goes first).
                usb_.reset();
                usb_ = std::make_unique<iOSUSBConnection>(*options_.usbmuxd, *usbListing_);
            }
        } else if (IsUsb(state_.load()) && now - lastUsbReceive_ > kUsbReadTimeoutMs) {
            // Nothing but empty frames counts as nothing received.
            spdlog::error("Timeout reading USB: {0} / {1}", now - lastUsbReceive_, kUsbReadTimeoutMs);
            SetState(ConnectionState::Idle);
        }
    }
}

void ConnectionManager::PublishUsbStatus()
{
    usbPresent_.store(usb_ != nullptr);
    usbValidDeviceCount_.store(usb_ ? usb_->ValidDeviceCount() : -1);
    usbHasDeviceList_.store(usb_ && usb_->HasDeviceList());
}

void ConnectionManager::CheckNetwork()
{
    networkAvailable_.store(CheckNetworkAvailable());
}

void ConnectionManager::StartLookingForConnections()
{
    spdlog::info("StartLookingForConnections");
    if (options_.usbmuxd)
        usb_ = std::make_unique<iOSUSBConnection>(*options_.usbmuxd, *usbListing_);
    PublishUsbStatus();
    parser_.Reset();
    client_ = nullptr;
    lastBonjourRestart_ = now_.load();
    lastNetworkCheck_ = now_.load();
    if (bonjour_)
        bonjour_->StartResolve();
    StartListening();
}

void ConnectionManager::StartListening()
{
    if (!loop_)
        return;
    auto* server = new uv_tcp_t;
    ++pending;
    spdlog::trace("malloc tcp server: {0:p}", Ptr(server));
    int rc = uv_tcp_init(loop_.get(), server);
    if (rc != 0) {
        spdlog::error("uv_tcp_init failed: {0}", uv_strerror(rc));
        --pending;
        delete server;
        return;
    }
    server->data = this;
    sockaddr_in address;
    uv_ip4_addr("0.0.0.0", options_.port, &address);
    // A taken port is tried again every few seconds: only the first failure
    // in a row is worth a line.
    rc = uv_tcp_bind(server, reinterpret_cast<const sockaddr*>(&address), 0);
    if (rc != 0) {
        if (!listenFailureLogged_) {
            spdlog::error("uv_tcp_bind failed: {0}", uv_strerror(rc));
            ConsoleStatus(fmt::format("WiFi: TCP port {0} cannot be used ({1}); trying again every few seconds",
                                      options_.port, uv_strerror(rc)));
        }
    } else {
        rc = uv_listen(reinterpret_cast<uv_stream_t*>(server), kListenBacklog, on_new_connection);
        if (rc != 0 && !listenFailureLogged_)
            spdlog::error("uv_listen failed: {0}", uv_strerror(rc));
    }
    listenFailureLogged_ = rc != 0;
    if (rc != 0) {
        listeningAnnounced_ = false;
        uv_close(reinterpret_cast<uv_handle_t*>(server), on_close);
        return;
    }
    if (!listeningAnnounced_)
        ConsoleStatus(fmt::format("WiFi: phones can connect on TCP port {0}", options_.port));
    listeningAnnounced_ = true;
    server_ = server;
}

void ConnectionManager::CloseServer()
{
    if (server_) {
        uv_close(reinterpret_cast<uv_handle_t*>(server_), on_close);
        server_ = nullptr;
    }
}

void ConnectionManager::CloseClient()
{
    if (client_) {
        uv_close(reinterpret_cast<uv_handle_t*>(client_), on_close);
        client_ = nullptr;
    }
}

void ConnectionManager::SetState(ConnectionState next)
{
    const ConnectionState previous = state_.load();
    if (next == previous || destroying_)
        return;
    spdlog::info("ConnectionManager state change: {0} -> {1}", ConnectionStateName(previous),
                 ConnectionStateName(next));
    const std::uint32_t now = now_.load();
    switch (next) {
    case ConnectionState::Idle:
        if (previous == ConnectionState::WifiConnected || previous == ConnectionState::UsbConnected)
            observer_->ConnectionDisconnected();
        CloseClient();
        usb_.reset();
        state_.store(ConnectionState::Idle);
        StartLookingForConnections();
        break;
    case ConnectionState::WifiConnecting:
        ++sessionGeneration_;
        usb_.reset();
        spdlog::trace("Stopped listening for connections");
        CloseServer();
        if (bonjour_) {
            bonjour_->StopResolve();
            spdlog::trace("Bonjour stopped");
        }
        lastReceive_.store(now);
        state_.store(ConnectionState::WifiConnecting);
        StartReading();
        break;
    case ConnectionState::WifiConnected:
        state_.store(ConnectionState::WifiConnected);
        break;
    case ConnectionState::UsbConnecting:
        ++sessionGeneration_;
        if (bonjour_)
            bonjour_->StopResolve();
        CloseServer();
        state_.store(ConnectionState::UsbConnecting);
        lastUsbReceive_ = now;
        lastKeepalive_ = now;
        break;
    case ConnectionState::UsbConnected:
        state_.store(ConnectionState::UsbConnected);
        lastUsbReceive_ = now;
        lastKeepalive_ = now;
        break;
    }
    PublishUsbStatus();
}

void ConnectionManager::BonjourAddressResolved(const char* address, std::uint16_t port, bool isIPv6)
{
    if (state_.load() != ConnectionState::Idle)
        return;
    auto* socket = new uv_tcp_t;
    ++pending;
    spdlog::trace("malloc socket: {0:p}", Ptr(socket));
    int rc = uv_tcp_init(loop_.get(), socket);
    if (rc != 0) {
        spdlog::error("uv_tcp_init failed: {0}", uv_strerror(rc));
        --pending;
        delete socket;
        return;
    }
    socket->data = this;
    auto* connect = new ConnectRequest{{}, this, sessionGeneration_};
    ++pending;
    spdlog::trace("malloc connect: {0:p}", Ptr(connect));
    connect->request.data = connect;

    sockaddr_storage target{};
    const auto* targetAddress = reinterpret_cast<const sockaddr*>(&target);
    if (isIPv6) {
        spdlog::trace("BonjourAddressResolved IPv6: {0}", address);
        rc = uv_ip6_addr(address, port, reinterpret_cast<sockaddr_in6*>(&target));
        if (rc == 0)
            rc = uv_tcp_connect(&connect->request, socket, targetAddress, on_connect);
        spdlog::info("Connecting socket to client at IPv6 address {0} found using Bonjour..", address);
    } else {
        spdlog::trace("BonjourAddressResolved IPv4: {0}", address);
        rc = uv_ip4_addr(address, port, reinterpret_cast<sockaddr_in*>(&target));
        if (rc == 0)
            rc = uv_tcp_connect(&connect->request, socket, targetAddress, on_connect);
        spdlog::info("Connecting socket to client at IPv4 address {0} found using Bonjour..", address);
    }
    if (rc != 0) {
        spdlog::error("uv_tcp_connect failed: {0}", uv_strerror(rc));
        // No callback will come for a connect that did not start.
        delete connect;
        --pending;
        uv_close(reinterpret_cast<uv_handle_t*>(socket), on_close);
    }
}

void ConnectionManager::on_connect(uv_connect_s* request, int status)
{
    auto* connect = static_cast<ConnectRequest*>(request->data);
    ConnectionManager* self = connect->self;
    auto* socket = reinterpret_cast<uv_tcp_t*>(request->handle);
    const bool current = connect->generation == self->sessionGeneration_;
    delete connect;
    --pending;
    if (self->destroying_ || self->state_.load() != ConnectionState::Idle || status != 0 || !current) {
        if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(socket)))
            uv_close(reinterpret_cast<uv_handle_t*>(socket), on_close);
        return;
    }
    spdlog::info("We have connected socket to client");
    self->client_ = socket;
    self->SetState(ConnectionState::WifiConnecting);
}

void ConnectionManager::on_new_connection(uv_stream_s* server, int status)
{
    auto* self = static_cast<ConnectionManager*>(server->data);
    spdlog::info(" ConnectionManager::on_new_connection");
    if (self->destroying_ || self->state_.load() != ConnectionState::Idle)
        return;
    if (status != 0) {
        spdlog::error("ConnectionManager on_new_connection: {0}", uv_strerror(status));
        return;
    }
    auto* client = new uv_tcp_t;
    ++pending;
    spdlog::trace("malloc client: {0:p}", Ptr(client));
    const int rc = uv_tcp_init(self->loop_.get(), client);
    if (rc != 0) {
        spdlog::error("uv_tcp_init failed: {0}", uv_strerror(rc));
        --pending;
        delete client;
        return;
    }
    client->data = self;
    if (uv_accept(server, reinterpret_cast<uv_stream_t*>(client)) != 0) {
        spdlog::error("Accepting socket connection from client FAILED");
        uv_close(reinterpret_cast<uv_handle_t*>(client), on_close);
        return;
    }
    spdlog::info("Accepted socket connection from client");
    self->client_ = client;
    self->SetState(ConnectionState::WifiConnecting);
}

void ConnectionManager::on_close(uv_handle_s* handle)
{
    spdlog::trace("on_close: {0:p}", Ptr(handle));
    int left = --pending;
    spdlog::trace("free {0:p}, pending {1}", Ptr(handle), left);
    delete reinterpret_cast<uv_tcp_t*>(handle);
}

void ConnectionManager::StartReading()
{
    const int rc = uv_read_start(reinterpret_cast<uv_stream_t*>(client_), on_alloc, on_socket_read);
    if (rc != 0) {
        spdlog::error("uv_read_start failed: {0}", uv_strerror(rc));
        SetState(ConnectionState::Idle);
    }
}

void ConnectionManager::on_alloc(uv_handle_s* handle, std::size_t suggested, uv_buf_t* buffer)
{
    auto* pool = static_cast<ReadBufferPool*>(handle->loop->data);
    std::size_t granted = 0;
    char* data = pool->Acquire(suggested, &granted);
    *buffer = uv_buf_init(data, data ? static_cast<unsigned>(granted) : 0);
}

void ConnectionManager::on_socket_read(uv_stream_s* stream, std::intptr_t n, const uv_buf_t* buffer)
{
    auto* self = static_cast<ConnectionManager*>(stream->data);
    if (n < 0) {
        if (!self->destroying_) {
            spdlog::error("Engine on_socket_read ({0:p}) failed: {1}", Ptr(stream), uv_strerror(static_cast<int>(n)));
            self->SetState(ConnectionState::Idle);
        }
    } else if (n > 0 && IsWifi(self->state_.load())) {
        // Invalid data ends the session as it does over USB: left open, the
        // parser would fail on the same header at every later read.
        if (!self->parser_.ParseMessages(reinterpret_cast<const std::uint8_t*>(buffer->base),
                                         static_cast<std::size_t>(n))) {
            spdlog::trace("Invalid data received");
            self->SetState(ConnectionState::Idle);
        }
    }
    self->pool_.Release(buffer->base);
}

void ConnectionManager::Write(const std::uint8_t* message, std::uint32_t length)
{
    const ConnectionState state = state_.load();
    if (IsWifi(state) && client_) {
        auto* write = static_cast<WriteRequest*>(std::malloc(offsetof(WriteRequest, data) + length));
        if (!write) {
            spdlog::error("uv_write failed: {0}", UV_ENOMEM);
            SetState(ConnectionState::Idle);
            return;
        }
        write->self = this;
        write->length = length;
        std::memcpy(write->data, message, length);
        write->request.data = write;
        uv_buf_t buffer = uv_buf_init(reinterpret_cast<char*>(write->data), length);
        int rc = uv_write(&write->request, reinterpret_cast<uv_stream_t*>(client_), &buffer, 1, on_socket_write);
        if (rc != 0) {
            std::free(write);
            spdlog::error("uv_write failed: {0}", rc);
            SetState(ConnectionState::Idle);
        }
    } else if (IsUsb(state) && usb_) {
        if (!usb_->SendFrame(message, length))
            SetState(ConnectionState::Idle);
    }
}

void ConnectionManager::on_socket_write(uv_write_s* request, int status)
{
    auto* write = static_cast<WriteRequest*>(request->data);
    ConnectionManager* self = write->self;
    std::free(write);
    if (status != 0 && !self->destroying_) {
        spdlog::error("Engine on_socket_write failed: {0}", uv_strerror(status));
        self->SetState(ConnectionState::Idle);
    }
}

void ConnectionManager::SendKeepalive()
{
    const KeepaliveMessage keepalive = BuildKeepalive();
    Write(keepalive.data(), static_cast<std::uint32_t>(keepalive.size()));
}

void ConnectionManager::StartStreaming(const ClientFormat& requested)
{
    if (OnLoopThread()) {
        DoStartStreaming(requested);
    } else {
        streamRequests_.enqueue(requested);
        Wake();
    }
}

void ConnectionManager::DoStartStreaming(const ClientFormat& requested)
{
    const ConnectionState state = state_.load();
    const Announcement announcement(parser_.announcement().data() + kMessageHeaderSize);
    if (state == ConnectionState::WifiConnected || state == ConnectionState::UsbConnected) {
        if (!announcement.SupportsDynamicFormatChange()) {
            spdlog::info("StartStreaming: {0} x {1} at {2} fps requires reconnect, disconnecting..", requested.width,
                         requested.height, requested.fps);
            SetState(ConnectionState::Idle);
            return;
        }
        spdlog::info("Client supports dynamic format change");
    }
    spdlog::info("StartStreaming: {0} x {1} at {2} fps", requested.width, requested.height, requested.fps);
    const StartStreamMessage message = BuildStartStream(announcement, requested);
    Write(message.data(), static_cast<std::uint32_t>(message.size()));
}

} // namespace talvik
