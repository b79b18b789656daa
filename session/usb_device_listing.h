// usbmuxd's device listing, run on a thread of its own, and its device
// events.
//
// A usbmuxd that takes the connection but never answers holds libusbmuxd's
// listing call for 5 to 10 s. The caller's thread also serves the WiFi path,
// so a phone connecting over TCP would wait that long; here the caller waits
// a short while at most, once per listing, and picks the result up on a later
// call when it comes late.
//
// The listing thread lives as long as the object: the connection manager
// owns one for its whole life and lends it to each USB connection it makes.
// Destruction joins the thread, so it waits for a listing still in progress
// (libusbmuxd bounds it); every list not handed out is freed.
//
// Device events: libusbmuxd allows one subscription per process, and ending
// one races with its watch thread, which now and then leaves the watch
// socket open. So the subscription is made once, by the first Watch, and
// kept for the object's life; Watch only chooses which USB connection the
// events go to.
//
// List, Forget and Watch are for one caller thread; the listing thread
// touches only the state under the lock, the watch thread only the watcher
// under its own.
#pragma once

#include "session/usbmuxd_binding.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <optional>
#include <set>
#include <thread>

namespace talvik {

class UsbDeviceListing {
public:
    // What usbmuxd_get_device_list gave: the count (negative on failure) and
    // the list, which the taker frees with the binding's device_list_free.
    struct Result {
        int count = 0;
        UsbmuxdDeviceInfo* list = nullptr;
    };

    // Starts the listing thread; it lists only when asked.
    explicit UsbDeviceListing(const UsbmuxdBinding& usbmuxd);
    ~UsbDeviceListing();
    UsbDeviceListing(const UsbDeviceListing&) = delete;
    UsbDeviceListing& operator=(const UsbDeviceListing&) = delete;

    // Starts a listing unless one is running and waits up to `wait` for the
    // one it started (not at all for one started earlier). The result, or
    // nothing while the listing is still running.
    std::optional<Result> List(std::chrono::milliseconds wait);

    // Drops what an earlier caller asked for: a result already in is freed,
    // one still running is freed when it comes. The next List starts afresh.
    void Forget();

    // Hands every later device event to `callback` with `userData`; null
    // stops them. Returns once an event being handed to the previous
    // watcher has been, telling whether a device is attached as far as the
    // events so far tell (a fresh subscription would announce it).
    bool Watch(UsbmuxdEventCallback callback, void* userData);

private:
    void Run();
    void FreeResult();
    static void OnEvent(const UsbmuxdEvent* event, void* self);

    const UsbmuxdBinding& usbmuxd_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool requested_ = false;
    bool running_ = false;
    bool done_ = false;
    bool discard_ = false;
    bool stopping_ = false;
    Result result_;
    std::thread thread_;

    std::mutex watcherLock_;
    UsbmuxdEventCallback watcher_ = nullptr;
    void* watcherData_ = nullptr;
    std::set<std::uint32_t> attached_; // device handles
    bool subscribed_ = false;
};

} // namespace talvik
