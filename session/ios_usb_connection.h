// The USB half of the phone session: watches usbmuxd's list of attached
// phones, opens a tunnelled TCP connection to the camera app's port on the
// first one that accepts it, and cuts the returning byte stream into packets.
//
// Phone to service, one packet:
//
//     0        4                 8
//     +--------+-----------------+----------------------+
//     | DE C0  | body length     | body (messages)      |
//     | AD DE  | u32 big-endian  | 0 .. 4,194,304 bytes |
//     +--------+-----------------+----------------------+
//      magic 0xDEADC0DE, little-endian
//
// Service to phone, one message:
//
//     0                 4
//     +-----------------+--------------------------------+
//     | message length  | message (carries its own magic)|
//     | u32 big-endian  |                                |
//     +-----------------+--------------------------------+
//
// Threads: the owner's loop thread constructs, reads, sends and destroys;
// libusbmuxd's device-watch thread only runs OnUsbmuxdEvent, which touches
// the atomics and never the lock. Device events come through the listing,
// which holds the process's one subscription, to one object at a time: the
// owner destroys the old one before it creates the next. A broken object is
// discarded, never repaired.
#pragma once

#include "session/usb_device_listing.h"
#include "session/usbmuxd_binding.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace talvik {

class iOSUSBConnection {
public:
    static constexpr std::uint32_t kHeaderSize = 8;
    static constexpr std::uint32_t kMaxBodyLength = 4194304;
    static constexpr std::uint32_t kInitialCapacity = 1048576;
    static constexpr unsigned kFirstByteTimeoutMs = 1000;
    static constexpr unsigned kTimeoutMs = 500;
    // The time-outs above are served in receives of this length, so that a
    // read can give way to the owner between them.
    static constexpr unsigned kReceiveSliceMs = 5;
    // The owner's clock as it moves while a read waits (the engine clock).
    using Clock = std::function<std::uint32_t()>;
    // What usbmuxd_recv_timeout returns when its time-out passed without a
    // byte.
    static constexpr int kReceiveTimedOut = -ETIMEDOUT;
    // Listing cadence while no phone is connected.
    static constexpr std::uint32_t kRelistMs = 1000;
    // How long a read waits for a listing it started; a usbmuxd that answers
    // at all answers in a few milliseconds.
    static constexpr std::chrono::milliseconds kListingWait{200};

    // Takes the device events; `usbmuxd` must outlive the object, and so
    // must `listing`, which serves this connection's device listings and
    // events. Silence is measured on `clock` when given, as well as by the
    // receive time asked for: a receive returns late where timers are
    // coarse (15.6 ms on Windows), and the sum of the slices alone would
    // stretch the limits up to threefold.
    iOSUSBConnection(const UsbmuxdBinding& usbmuxd, UsbDeviceListing& listing, Clock clock = {});
    ~iOSUSBConnection();
    iOSUSBConnection(const iOSUSBConnection&) = delete;
    iOSUSBConnection& operator=(const iOSUSBConnection&) = delete;

    // `now` is the caller's clock in milliseconds. Exactly one of:
    //   - a packet: non-null, pointing at the body of one whole packet
    //     (header stripped), `length` bytes, `failed` false; valid until the
    //     next call. An empty frame gives a non-null result with length 0.
    //   - null, `failed` false, `length` 0: no phone connected yet.
    //   - null, `failed` true: the connection broke or the stream is invalid;
    //     discard the object.
    // While connected, blocks until a whole packet is in; fails when no byte
    // came for 500 ms once the phone has sent anything (1000 ms before),
    // silence counted across calls: whichever of the clock's time and the
    // receive time asked for first reaches the limit. `interrupted`, asked before every
    // receive slice, makes it return null, not failed, at once; a packet
    // begun is kept for the next call.
    const std::uint8_t* ReadPacket(std::uint32_t now, std::uint32_t& length, bool& failed,
                                   const std::function<bool()>& interrupted = {});

    // Sends the 4-byte big-endian length, then `message`. False (logged as
    // "USB write failed") unless both went out whole.
    bool SendFrame(const std::uint8_t* message, std::uint32_t length);

    // Valid devices in the last listing, -1 before the first; and whether a
    // listing is held. Lock-free, so the status screen never waits on a read.
    int ValidDeviceCount() const { return validDeviceCount_.load(); }
    bool HasDeviceList() const { return hasDeviceList_.load(); }

    // libusbmuxd's device-event callback; `userData` is the object.
    static void OnUsbmuxdEvent(const UsbmuxdEvent* event, void* userData);

    // 8 'X' characters, then the UDID from its ninth character on (at most 33
    // of them): the first 8 characters of a UDID never reach the log.
    static std::string MaskedUdid(const UsbmuxdDeviceInfo& device);

private:
    void LookForPhone(std::uint32_t now);
    void ListDevices(std::uint32_t now);
    void FreeDeviceList();
    void ResetToHeader();

    const UsbmuxdBinding& usbmuxd_;
    UsbDeviceListing& listing_;
    std::mutex lock_;
    bool connected_ = false;
    int connection_ = -1; // only ever a connected socket, else -1

    std::uint8_t* buffer_;
    std::uint32_t capacity_ = kInitialCapacity;
    std::uint32_t received_ = 0;
    std::uint32_t expected_ = kHeaderSize;
    std::uint32_t remaining_ = kHeaderSize;
    bool readingBody_ = false;
    bool hadData_ = false;
    unsigned silentMs_ = 0; // receive time spent without a byte since the last one
    Clock clock_;
    std::uint32_t silenceStart_ = 0; // the clock when the first silent receive began

    UsbmuxdDeviceInfo* deviceList_ = nullptr;
    int listedCount_ = 0;
    std::atomic<int> validDeviceCount_{-1};
    std::atomic<bool> hasDeviceList_{false};
    std::uint32_t lastListing_ = 0;
    bool rescanOnFirstRead_ = false;

    std::atomic<std::uint32_t> now_{0};
    std::atomic<std::uint32_t> rescanUntil_{0};
    std::atomic<bool> rescanRequested_{false};
};

} // namespace talvik
