// usbmuxd's device listing, run on a thread of its own.
//
// A usbmuxd that takes the connection but never answers holds libusbmuxd's
// listing call for 5 to 10 s. The caller's thread also serves the WiFi path,
// so a phone connecting over TCP would wait that long; here the caller waits
// a short while at most, once per listing, and picks the result up on a later
// call when it comes late.
//
// Not thread-safe: one caller thread. The listing thread touches only the
// shared hand-over slot. A listing still running when the object goes
// finishes on its own and frees what it got, so the binding must stay valid
// for the life of the process.
#pragma once

#include "session/usbmuxd_binding.h"

#include <chrono>
#include <memory>
#include <optional>

namespace talvik {

class UsbDeviceListing {
public:
    // What usbmuxd_get_device_list gave: the count (negative on failure) and
    // the list, which the taker frees with the binding's device_list_free.
    struct Result {
        int count = 0;
        UsbmuxdDeviceInfo* list = nullptr;
    };

    explicit UsbDeviceListing(const UsbmuxdBinding& usbmuxd);
    // Never waits for a listing that is still running.
    ~UsbDeviceListing();
    UsbDeviceListing(const UsbDeviceListing&) = delete;
    UsbDeviceListing& operator=(const UsbDeviceListing&) = delete;

    // Starts a listing unless one is running and waits up to `wait` for the
    // one it started (not at all for one started earlier). The result, or
    // nothing while the listing is still running.
    std::optional<Result> List(std::chrono::milliseconds wait);

private:
    struct Slot;

    const UsbmuxdBinding& usbmuxd_;
    std::shared_ptr<Slot> slot_;
};

} // namespace talvik
