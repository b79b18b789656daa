#include "session/connection_manager.h"

#include "base/console_status.h"
#include "base/signal_stack.h"
#include "session/messages.h"
#include "session/network_check.h"
#include "session/socket_library.h"
#include "session/tcp_link.h"

#include <spdlog/spdlog.h>

#include <chrono>

namespace talvik {

namespace {

const void* Ptr(const void* p)
{
    return p;
}

} // namespace

const char* ConnectionStateName(ConnectionState state)
{
    switch (state) {
    case ConnectionState::kIdle: return "IDLE";
    case ConnectionState::kWifiConnecting: return "WIFI CONNECTING";
    case ConnectionState::kWifiConnected: return "WIFI CONNECTED";
    case ConnectionState::kUsbConnecting: return "USB CONNECTING";
    case ConnectionState::kUsbConnected: return "USB CONNECTED";
    }
    return "UNKNOWN";
}

// The loop and the sockets the manager holds (a connect's socket is its
// request's until it completes).
struct ConnectionManager::TcpSide {
    UvLoop loop;
    TcpHandle server;
    TcpHandle client;
};

// An outbound connect, tagged with the IDLE period it was started in; it
// owns its socket and lives until on_connect.
struct ConnectionManager::ConnectRequest {
    uv_connect_t request;
    ConnectionManager* self;
    std::uint64_t generation;
    TcpHandle socket;
};

ConnectionManager::ConnectionManager(ConnectionManagerObserver* observer)
    : ConnectionManager(observer, Options{})
{
}

ConnectionManager::ConnectionManager(ConnectionManagerObserver* observer, const Options& options)
    : observer_(observer), options_(options), parser_(*this, *observer),
      usb_(options.usbmuxd, [this] { return now_.load(); })
{
    socketLibraryStarted_ = StartSocketLibrary();
    if (!socketLibraryStarted_)
        spdlog::error("WSAStartup failed");
    dnssd_ = DnsSdLibrary::Load(options_.dnsSdLibrary);
    // Without a loop nothing of the WiFi side can run; USB still can.
    tcp_ = std::make_unique<TcpSide>();
    uv_loop_t* loop = tcp_->loop.get();
    if (loop)
        loop->data = &pool_;
    if (dnssd_ && loop)
        bonjour_ = std::make_unique<BonjourManager>(dnssd_->binding(), this, loop, options_.port);
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
    // Host lookups still queued are cancelled; running ones end as the loop
    // closes.
    if (bonjour_)
        bonjour_->StopResolve();
    tcp_->server.reset();
    tcp_->client.reset();
    tcp_->loop.Close();
    usb_.Close();
    usb_.PublishStatus();
    bonjour_.reset();
    dnssd_.reset();
    if (socketLibraryStarted_)
        StopSocketLibrary();
}

void ConnectionManager::Wake()
{
    wakeRequested_.store(true);
    tcp_->loop.Wake();
}

void ConnectionManager::Tick(std::uint32_t now)
{
    now_.store(now);
    if (!loopStarted_ && options_.startLoopThread) {
        loopStarted_ = true;
        stopRequested_.store(false);
        loopThread_ = std::thread(&ConnectionManager::UVLoopRun, this);
    }
    if (state_.load() != ConnectionState::kIdle && now - lastReceive_.load() > kSocketReadTimeoutMs &&
        !timeoutPending_.exchange(true))
        Wake();
}

void ConnectionManager::UVLoopRun()
{
    const SignalStack crashStack; // a crash report even when this stack overflows
    spdlog::trace("UVLoopRun");
    while (!stopRequested_.load())
        RunLoopPass();
    spdlog::trace("ConnectionManager loop finished");
}

bool ConnectionManager::OnLoopThread() const
{
    return loopThreadId_.load() == std::this_thread::get_id();
}

void ConnectionManager::HandOver()
{
    wakeRequested_.store(false);
    if (timeoutPending_.exchange(false) && state_.load() != ConnectionState::kIdle &&
        now_.load() - lastReceive_.load() > kSocketReadTimeoutMs) {
        spdlog::error("Socket read timeout");
        SetState(ConnectionState::kIdle);
    }
    ClientFormat requested;
    while (streamRequests_.try_dequeue(requested))
        DoStartStreaming(requested);
}

void ConnectionManager::RunLoopPass()
{
    loopThreadId_.store(std::this_thread::get_id());
    HandOver();
    const std::uint32_t now = now_.load();

    if (!IsUsbSession(state_.load())) {
        if (IsWifiSession(state_.load()) && options_.idlePause)
            WaitForSocketEvents();
        else
            tcp_->loop.Poll();
    }
    if (state_.load() == ConnectionState::kIdle)
        LookWhileIdle(now);
    if (!IsWifiSession(state_.load()))
        usb_.Pump(*this);
    usb_.PublishStatus();

    if (state_.load() == ConnectionState::kIdle && options_.idlePause)
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePauseMs));
}

// Discovery and the network check keep their own cadence while IDLE; a
// connection found on the way ends them for the session.
void ConnectionManager::LookWhileIdle(std::uint32_t now)
{
    if (now - lastBonjourRestart_ > kDiscoveryRestartMs) {
        lastBonjourRestart_ = now;
        if (bonjour_)
            bonjour_->RestartResolve();
        // A taken port may have been freed since: WiFi phones can only
        // connect while something listens.
        if (!tcp_->server)
            StartListening();
    }
    if (bonjour_ && state_.load() == ConnectionState::kIdle) {
        bonjour_->ProcessEvents();
        if (state_.load() == ConnectionState::kIdle)
            bonjour_->ResolveNextHost();
    }
    if (now - lastNetworkCheck_ > kNetworkCheckMs && state_.load() == ConnectionState::kIdle) {
        CheckNetwork();
        lastNetworkCheck_ = now;
    }
}

// A session's sockets are the only thing that happens on the WiFi side: the
// pass waits for them, or for a request handed over from another thread,
// which wakes the loop.
void ConnectionManager::WaitForSocketEvents()
{
    if (HandOverWaiting())
        tcp_->loop.Poll();
    else
        tcp_->loop.Wait(kWifiWaitMs);
}

void ConnectionManager::CheckNetwork()
{
    networkAvailable_.store(CheckNetworkAvailable());
}

void ConnectionManager::StartLookingForConnections()
{
    spdlog::info("StartLookingForConnections");
    usb_.Open();
    usb_.PublishStatus();
    parser_.Reset();
    tcp_->client.reset();
    lastBonjourRestart_ = now_.load();
    lastNetworkCheck_ = now_.load();
    if (bonjour_)
        bonjour_->StartResolve();
    StartListening();
}

void ConnectionManager::StartListening()
{
    uv_loop_t* loop = tcp_->loop.get();
    if (!loop)
        return;
    TcpHandle server = OpenTcp(loop, "tcp server", this);
    if (!server)
        return;
    sockaddr_in address;
    uv_ip4_addr("0.0.0.0", options_.port, &address);
    // A taken port is tried again every few seconds: only the first failure
    // in a row is worth a line.
    int rc = uv_tcp_bind(server.get(), reinterpret_cast<const sockaddr*>(&address), 0);
    if (rc != 0) {
        if (!listenFailureLogged_) {
            spdlog::error("uv_tcp_bind failed: {0}", uv_strerror(rc));
            ConsoleFact("WiFi", fmt::format("WiFi: TCP port {0} cannot be used ({1}); trying again every few seconds",
                                            options_.port, uv_strerror(rc)));
        }
    } else {
        rc = uv_listen(reinterpret_cast<uv_stream_t*>(server.get()), kListenBacklog, on_new_connection);
        if (rc != 0 && !listenFailureLogged_)
            spdlog::error("uv_listen failed: {0}", uv_strerror(rc));
    }
    listenFailureLogged_ = rc != 0;
    if (rc != 0)
        return; // the handle closes as it goes
    ConsoleFact("WiFi", fmt::format("WiFi: phones can connect on TCP port {0}", options_.port));
    tcp_->server = std::move(server);
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
    case ConnectionState::kIdle:
        if (previous == ConnectionState::kWifiConnected || previous == ConnectionState::kUsbConnected)
            observer_->ConnectionDisconnected();
        tcp_->client.reset();
        usb_.Close();
        state_.store(ConnectionState::kIdle);
        StartLookingForConnections();
        break;
    case ConnectionState::kWifiConnecting:
        ++sessionGeneration_;
        usb_.Close();
        spdlog::trace("Stopped listening for connections");
        tcp_->server.reset();
        if (bonjour_) {
            bonjour_->StopResolve();
            spdlog::trace("Bonjour stopped");
        }
        lastReceive_.store(now);
        state_.store(ConnectionState::kWifiConnecting);
        StartReading();
        break;
    case ConnectionState::kWifiConnected:
        state_.store(ConnectionState::kWifiConnected);
        break;
    case ConnectionState::kUsbConnecting:
        ++sessionGeneration_;
        if (bonjour_)
            bonjour_->StopResolve();
        tcp_->server.reset();
        state_.store(ConnectionState::kUsbConnecting);
        usb_.SessionMark(now);
        break;
    case ConnectionState::kUsbConnected:
        state_.store(ConnectionState::kUsbConnected);
        usb_.SessionMark(now);
        break;
    }
    usb_.PublishStatus();
}

void ConnectionManager::BonjourAddressResolved(const char* address, std::uint16_t port, bool isIPv6)
{
    if (state_.load() != ConnectionState::kIdle || !tcp_->loop.get())
        return;
    TcpHandle socket = OpenTcp(tcp_->loop.get(), "socket", this);
    if (!socket)
        return;
    auto connect = std::make_unique<ConnectRequest>(ConnectRequest{{}, this, sessionGeneration_, std::move(socket)});
    spdlog::trace("malloc connect: {0:p}", Ptr(connect.get()));
    connect->request.data = connect.get();

    const char* family = isIPv6 ? "IPv6" : "IPv4";
    spdlog::trace("BonjourAddressResolved {0}: {1}", family, address);
    const int rc = ConnectTcp(&connect->request, connect->socket.get(), address, port, isIPv6, on_connect);
    spdlog::info("Connecting socket to client at {0} address {1} found using Bonjour..", family, address);
    if (rc != 0) {
        // No callback will come for a connect that did not start; its
        // socket closes with it.
        spdlog::error("uv_tcp_connect failed: {0}", uv_strerror(rc));
        return;
    }
    (void)connect.release(); // on_connect takes it back
}

void ConnectionManager::on_connect(uv_connect_s* request, int status)
{
    std::unique_ptr<ConnectRequest> connect(static_cast<ConnectRequest*>(request->data));
    ConnectionManager* self = connect->self;
    const bool current = connect->generation == self->sessionGeneration_;
    // Anything but the session's connection closes with the request.
    if (self->destroying_ || self->state_.load() != ConnectionState::kIdle || status != 0 || !current)
        return;
    spdlog::info("We have connected socket to client");
    self->tcp_->client = std::move(connect->socket);
    self->SetState(ConnectionState::kWifiConnecting);
}

void ConnectionManager::on_new_connection(uv_stream_s* server, int status)
{
    auto* self = static_cast<ConnectionManager*>(server->data);
    spdlog::info(" ConnectionManager::on_new_connection");
    if (self->destroying_ || self->state_.load() != ConnectionState::kIdle)
        return;
    if (status != 0) {
        spdlog::error("ConnectionManager on_new_connection: {0}", uv_strerror(status));
        return;
    }
    TcpHandle client = OpenTcp(self->tcp_->loop.get(), "client", self);
    if (!client)
        return;
    if (uv_accept(server, reinterpret_cast<uv_stream_t*>(client.get())) != 0) {
        spdlog::error("Accepting socket connection from client FAILED");
        return; // the handle closes as it goes
    }
    spdlog::info("Accepted socket connection from client");
    self->tcp_->client = std::move(client);
    self->SetState(ConnectionState::kWifiConnecting);
}

void ConnectionManager::StartReading()
{
    const int rc = StartTcpReads(tcp_->client.get(), on_socket_read);
    if (rc != 0) {
        spdlog::error("uv_read_start failed: {0}", uv_strerror(rc));
        SetState(ConnectionState::kIdle);
    }
}

void ConnectionManager::on_socket_read(uv_stream_s* stream, std::intptr_t n, const uv_buf_t* buffer)
{
    auto* self = static_cast<ConnectionManager*>(stream->data);
    if (n < 0) {
        if (!self->destroying_) {
            spdlog::error("Engine on_socket_read ({0:p}) failed: {1}", Ptr(stream), uv_strerror(static_cast<int>(n)));
            self->SetState(ConnectionState::kIdle);
        }
    } else if (n > 0 && IsWifiSession(self->state_.load())) {
        // Invalid data ends the session as it does over USB: left open, the
        // parser would fail on the same header at every later read.
        if (!self->parser_.ParseMessages(reinterpret_cast<const std::uint8_t*>(buffer->base),
                                         static_cast<std::size_t>(n))) {
            spdlog::trace("Invalid data received");
            self->SetState(ConnectionState::kIdle);
        }
    }
    self->pool_.Release(buffer->base);
}

void ConnectionManager::Write(const std::uint8_t* message, std::uint32_t length)
{
    const ConnectionState state = state_.load();
    if (IsWifiSession(state) && tcp_->client) {
        const int rc = WriteCopy(tcp_->client.get(), message, length, this, on_socket_write);
        if (rc != 0) {
            spdlog::error("uv_write failed: {0}", rc);
            SetState(ConnectionState::kIdle);
        }
    } else if (IsUsbSession(state) && usb_.open() && !usb_.Send(message, length)) {
        SetState(ConnectionState::kIdle);
    }
}

void ConnectionManager::on_socket_write(uv_write_s* request, int status)
{
    auto* self = static_cast<ConnectionManager*>(request->data);
    if (status != 0 && !self->destroying_) {
        spdlog::error("Engine on_socket_write failed: {0}", uv_strerror(status));
        self->SetState(ConnectionState::kIdle);
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
    if (state == ConnectionState::kWifiConnected || state == ConnectionState::kUsbConnected) {
        if (!announcement.SupportsDynamicFormatChange()) {
            spdlog::info("StartStreaming: {0} x {1} at {2} fps requires reconnect, disconnecting..", requested.width,
                         requested.height, requested.fps);
            SetState(ConnectionState::kIdle);
            return;
        }
        spdlog::info("Client supports dynamic format change");
    }
    spdlog::info("StartStreaming: {0} x {1} at {2} fps", requested.width, requested.height, requested.fps);
    const StartStreamMessage message = BuildStartStream(announcement, requested);
    Write(message.data(), static_cast<std::uint32_t>(message.size()));
}

} // namespace talvik
