// ConnectionManager: finds the phone and keeps the session with it.
//
// While IDLE it looks on every path at once: a TCP server on port 5055, an
// outbound TCP connect to every address DNS-SD resolves for the phone, and
// usbmuxd's device list. The first path to produce a connection (an
// accepted or completed TCP connection, or a USB packet) carries the
// session; the others are shut down until the session ends.
//
//            TCP accepted / connected            first announcement
//   IDLE ──────────────────────────► WIFI CONNECTING ──────────► WIFI CONNECTED
//     │ ▲        USB packet                       first announcement
//     │ └──────────────────────────► USB CONNECTING ───────────► USB CONNECTED
//     └── any failure, time-out or needed reconnect leads back to IDLE, whose
//         entry releases the session and starts looking again.
//
// Threads. The loop thread (started by the first Tick) owns everything: the
// libuv loop, the USB connection, the DNS-SD discovery, the parser, and
// every observer call. The engine's thread only calls Tick and
// StartStreaming and reads the status getters: a time-out found by Tick and
// a stream request made off the loop thread are handed to the loop thread,
// which acts on them at the start of its next pass. Such a hand-over wakes
// the loop thread wherever it waits: in libuv (WiFi) or between the short
// receives of a USB read.
//
// While IDLE without a listening server (the port was taken), listening is
// tried again at the discovery-restart cadence.
//
// The libuv sockets and their loop are in session/tcp_link.h and
// session/uv_loop.h, the USB reads in session/usb_pump.h; this class is the
// state machine that drives them.
#pragma once

#include "base/phone_link.h"
#include "session/bonjour_manager.h"
#include "session/connection_manager_observer.h"
#include "session/connection_state.h"
#include "session/dns_sd_library.h"
#include "session/message_parser.h"
#include "session/phone_session.h"
#include "session/read_buffer_pool.h"
#include "session/usb_pump.h"
#include "session/usbmuxd_binding.h"

#include <concurrentqueue/concurrentqueue.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

struct uv_stream_s;
struct uv_connect_s;
struct uv_write_s;
struct uv_buf_t;

namespace talvik {

const char* ConnectionStateName(ConnectionState state);

class ConnectionManager final : public PhoneSession,
                                public BonjourManagerObserver,
                                private MessageParser::Connection,
                                private UsbPump::Session {
public:
    static constexpr std::uint32_t kSocketReadTimeoutMs = 2000;
    static constexpr std::uint32_t kDiscoveryRestartMs = 3000;
    static constexpr std::uint32_t kNetworkCheckMs = 1000;
    static constexpr unsigned kIdlePauseMs = 100;
    // The longest a WiFi pass waits in libuv for socket events. Whatever
    // else a session needs (a request, Stop, the read time-out) wakes the
    // loop, so the bound only keeps a lost wake-up from lasting; each pass
    // it ends is a context switch while the phone streams.
    static constexpr std::uint64_t kWifiWaitMs = 100;
    static constexpr int kListenBacklog = 128;

    // What differs between the product and a test harness.
    struct Options {
        std::uint16_t port = kPhonePort;
        // The DNS-SD library to load.
        std::string dnsSdLibrary = kDnsSdLibraryName;
        // The USB library; null runs without USB.
        const UsbmuxdBinding* usbmuxd = Usbmuxd();
        // False: no loop thread; the caller runs RunLoopPass() itself.
        bool startLoopThread = true;
        // False: the loop pass neither sleeps while IDLE nor waits for
        // socket events (for tests that drive passes themselves).
        bool idlePause = true;
    };

    // Starts looking at once; nothing is polled before the first Tick.
    explicit ConnectionManager(ConnectionManagerObserver* observer);
    ConnectionManager(ConnectionManagerObserver* observer, const Options& options);
    // Ends the loop thread, then closes every handle and releases everything.
    ~ConnectionManager() override;
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // Engine thread, every ~16 ms: takes the engine clock, starts the loop
    // thread on the first call, and checks the socket read time-out (more
    // than 2000 ms without a byte in any state but IDLE).
    void Tick(std::uint32_t now) override;

    // Asks the phone to stream `requested`. In a CONNECTED state the phone
    // must support dynamic format change, else the session is ended so that
    // the phone reconnects and announces itself again. IDLE: nothing is sent.
    void StartStreaming(const ClientFormat& requested) override;

    // Read by the status screen from any thread.
    bool networkAvailable() const override { return networkAvailable_.load(); }
    ConnectionState state() const override { return state_.load(); }
    // USB status: whether a USB connection object exists (none during a WiFi
    // session), its valid device count and whether it holds a device list.
    bool hasUsbConnection() const override { return usb_.present(); }
    int usbValidDeviceCount() const override { return usb_.validDeviceCount(); }
    bool usbHasDeviceList() const override { return usb_.hasDeviceList(); }

    // One pass of the loop thread's body.
    void RunLoopPass();

    // DNS-SD resolved the phone at `address`: connect out to it while IDLE.
    void BonjourAddressResolved(const char* address, std::uint16_t port, bool isIPv6) override;

private:
    struct TcpSide;
    struct ConnectRequest;

    // MessageParser::Connection and UsbPump::Session
    ConnectionState State() const override { return state_.load(); }
    void SetState(ConnectionState state) override;
    void MarkReceived() override { lastReceive_.store(now_.load()); }
    bool ParseUsbPacket(const std::uint8_t* packet, std::size_t length) override
    {
        return parser_.ParseMessages(packet, length);
    }
    void SendKeepalive() override;
    void HandOver() override;
    bool HandOverWaiting() const override { return wakeRequested_.load() || stopRequested_.load(); }

    void UVLoopRun();
    void StartLookingForConnections();
    void StartListening();
    void LookWhileIdle(std::uint32_t now);
    void StartReading();
    // Called off the loop thread after handing something over.
    void Wake();
    void WaitForSocketEvents();
    void DoStartStreaming(const ClientFormat& requested);
    void Write(const std::uint8_t* message, std::uint32_t length);
    void CheckNetwork();
    bool OnLoopThread() const;

    static void on_new_connection(uv_stream_s* server, int status);
    static void on_connect(uv_connect_s* request, int status);
    static void on_socket_read(uv_stream_s* stream, std::intptr_t n, const uv_buf_t* buffer);
    static void on_socket_write(uv_write_s* request, int status);

    ConnectionManagerObserver* observer_;
    Options options_;
    std::atomic<ConnectionState> state_{ConnectionState::kIdle};
    MessageParser parser_;
    ReadBufferPool pool_;
    // The libuv loop, the server and the client.
    std::unique_ptr<TcpSide> tcp_;
    // The last try to listen failed and was logged; later tries are quiet.
    bool listenFailureLogged_ = false;

    std::atomic<std::uint32_t> now_{0};
    std::atomic<std::uint32_t> lastReceive_{0};
    std::uint32_t lastBonjourRestart_ = 0;
    std::uint32_t lastNetworkCheck_ = 0;
    // Counts the sessions started; an outbound connect started in an earlier
    // IDLE period never becomes a session.
    std::uint64_t sessionGeneration_ = 0;

    bool socketLibraryStarted_ = false;
    std::unique_ptr<DnsSdLibrary> dnssd_;
    std::unique_ptr<BonjourManager> bonjour_;
    UsbPump usb_;

    std::atomic<bool> networkAvailable_{false};

    // Hand-over from the engine's thread to the loop thread.
    std::atomic<bool> timeoutPending_{false};
    std::atomic<bool> wakeRequested_{false};
    moodycamel::ConcurrentQueue<ClientFormat> streamRequests_;

    bool loopStarted_ = false;
    std::atomic<std::thread::id> loopThreadId_{};
    std::atomic<bool> stopRequested_{false};
    // Started by the first Tick, joined by the destructor.
    std::thread loopThread_;
    bool destroying_ = false;
};

} // namespace talvik
