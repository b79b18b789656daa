#include "session/usb_device_listing.h"

#include <spdlog/spdlog.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace talvik {

// Shared by the caller and the listing thread; lives until both are done.
struct UsbDeviceListing::Slot {
    std::mutex lock;
    std::condition_variable finished;
    bool running = false;
    bool done = false;
    bool abandoned = false;
    Result result;
};

UsbDeviceListing::UsbDeviceListing(const UsbmuxdBinding& usbmuxd)
    : usbmuxd_(usbmuxd), slot_(std::make_shared<Slot>())
{
}

UsbDeviceListing::~UsbDeviceListing()
{
    std::lock_guard<std::mutex> guard(slot_->lock);
    slot_->abandoned = true;
    if (slot_->done && slot_->result.list)
        usbmuxd_.device_list_free(&slot_->result.list);
}

std::optional<UsbDeviceListing::Result> UsbDeviceListing::List(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> guard(slot_->lock);
    if (!slot_->running && !slot_->done) {
        slot_->running = true;
        std::thread([slot = slot_, usbmuxd = &usbmuxd_] {
            Result result;
            result.count = usbmuxd->get_device_list(&result.list);
            std::lock_guard<std::mutex> guard(slot->lock);
            slot->running = false;
            if (slot->abandoned) {
                if (result.list)
                    usbmuxd->device_list_free(&result.list);
                return;
            }
            slot->result = result;
            slot->done = true;
            slot->finished.notify_all();
        }).detach();
        if (!slot_->finished.wait_for(guard, wait, [this] { return slot_->done; }))
            spdlog::trace("USB: usbmuxd is slow to answer the device listing");
    }
    if (!slot_->done)
        return std::nullopt;
    slot_->done = false;
    return std::exchange(slot_->result, Result{});
}

} // namespace talvik
