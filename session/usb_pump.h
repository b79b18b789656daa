// The USB side of the connection manager's loop: owns the USB connection
// (replaced on every way back to IDLE) and reads it once per loop pass.
//
// One Pump() reads up to 5 packets, going on while each read delivers one:
//   - a packet: an IDLE session becomes USB CONNECTING; the packet goes to
//     the parser; invalid data ends the session ("Invalid data received").
//     More than 250 ms after the last keep-alive (or the session's start),
//     the service's keep-alive goes out.
//   - a failed read: "Error reading USB"; a session ends, and while IDLE
//     the connection is replaced, so a phone that failed while being looked
//     for is looked for afresh.
//   - nothing, in a USB session more than 2000 ms after the last accepted
//     packet: "Timeout reading USB: {0} / {1}", and the session ends.
// Each read may wait up to 500 ms; between reads, and within one as soon as
// Session::HandOverWaiting() says so, the session's hand-over from other
// threads gets its turn.
//
// Threads: the loop thread does everything; the status getters are atomics
// for the status screen on any thread.
#pragma once

#include "session/connection_state.h"
#include "session/ios_usb_connection.h"
#include "session/usb_device_listing.h"
#include "session/usbmuxd_binding.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace talvik {

class UsbPump {
public:
    static constexpr std::uint32_t kReadTimeoutMs = 2000;
    static constexpr std::uint32_t kKeepaliveMs = 250;
    static constexpr int kPacketsPerPass = 5;

    // What the pump needs of the connection manager it feeds.
    class Session {
    public:
        virtual ConnectionState State() const = 0;
        virtual void SetState(ConnectionState state) = 0;
        // The packet's messages; false at invalid data.
        virtual bool ParseUsbPacket(const std::uint8_t* packet, std::size_t length) = 0;
        virtual void SendKeepalive() = 0;
        // Carries out what other threads handed over / says that something
        // (or the stop) waits for it.
        virtual void HandOver() = 0;
        virtual bool HandOverWaiting() const = 0;

    protected:
        ~Session() = default;
    };

    // Null `usbmuxd`: no USB at all. `clock` is the engine clock as it
    // moves while a read waits.
    UsbPump(const UsbmuxdBinding* usbmuxd, iOSUSBConnection::Clock clock);
    UsbPump(const UsbPump&) = delete;
    UsbPump& operator=(const UsbPump&) = delete;

    // A new connection to look for a phone with (none without USB).
    void Open();
    void Close() { connection_.reset(); }
    bool open() const { return connection_ != nullptr; }

    // A USB session starts, or is announced: silence and keep-alive are
    // measured from `now`.
    void SessionMark(std::uint32_t now);

    void Pump(Session& session);

    // Sends one message over the connection; false when there is none or
    // the send failed (logged by the connection).
    bool Send(const std::uint8_t* message, std::uint32_t length);

    // Refreshes what the getters say.
    void PublishStatus();
    bool present() const { return present_.load(); }
    int validDeviceCount() const { return validDeviceCount_.load(); }
    bool hasDeviceList() const { return hasDeviceList_.load(); }

private:
    const UsbmuxdBinding* usbmuxd_;
    iOSUSBConnection::Clock clock_;
    // Lives as long as the pump; lent to each connection, so declared first.
    std::unique_ptr<UsbDeviceListing> listing_;
    std::unique_ptr<iOSUSBConnection> connection_;
    std::uint32_t lastReceive_ = 0;
    std::uint32_t lastKeepalive_ = 0;

    std::atomic<bool> present_{false};
    std::atomic<int> validDeviceCount_{-1};
    std::atomic<bool> hasDeviceList_{false};
};

} // namespace talvik
