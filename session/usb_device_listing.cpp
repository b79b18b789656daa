#include "session/usb_device_listing.h"

#include "base/signal_stack.h"

#include <spdlog/spdlog.h>

#include <utility>

namespace talvik {

UsbDeviceListing::UsbDeviceListing(const UsbmuxdBinding& usbmuxd)
    : usbmuxd_(usbmuxd), thread_([this] { Run(); })
{
}

UsbDeviceListing::~UsbDeviceListing()
{
    // Joins the watch thread; not under watcherLock_, which its callback takes.
    if (subscribed_)
        usbmuxd_.unsubscribe();
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    FreeResult();
}

void UsbDeviceListing::Run()
{
    const SignalStack crashStack; // a crash report even when this stack overflows
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return requested_ || stopping_; });
        if (stopping_)
            return;
        requested_ = false;
        running_ = true;
        guard.unlock();
        Result result;
        result.count = usbmuxd_.get_device_list(&result.list);
        guard.lock();
        running_ = false;
        if (discard_) {
            discard_ = false;
            if (result.list)
                usbmuxd_.device_list_free(&result.list);
            continue;
        }
        result_ = result;
        done_ = true;
        changed_.notify_all();
    }
}

std::optional<UsbDeviceListing::Result> UsbDeviceListing::List(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (!running_ && !requested_ && !done_) {
        requested_ = true;
        changed_.notify_all();
        if (!changed_.wait_for(guard, wait, [this] { return done_; }))
            spdlog::trace("USB: usbmuxd is slow to answer the device listing");
    }
    if (!done_)
        return std::nullopt;
    done_ = false;
    return std::exchange(result_, Result{});
}

void UsbDeviceListing::Forget()
{
    std::lock_guard<std::mutex> guard(lock_);
    requested_ = false;
    discard_ = running_;
    FreeResult();
}

bool UsbDeviceListing::Watch(UsbmuxdEventCallback callback, void* userData)
{
    bool attached;
    {
        std::lock_guard<std::mutex> guard(watcherLock_);
        watcher_ = callback;
        watcherData_ = userData;
        attached = !attached_.empty();
    }
    if (!subscribed_ && callback) {
        // The result is not needed: libusbmuxd keeps retrying by itself, and
        // without events the once-a-second listing keeps looking.
        usbmuxd_.subscribe(OnEvent, this);
        subscribed_ = true;
    }
    return attached;
}

void UsbDeviceListing::OnEvent(const UsbmuxdEvent* event, void* self)
{
    auto* listing = static_cast<UsbDeviceListing*>(self);
    std::lock_guard<std::mutex> guard(listing->watcherLock_);
    if (event->event == 1)
        listing->attached_.insert(event->device.handle);
    else if (event->event == 2)
        listing->attached_.erase(event->device.handle);
    if (listing->watcher_)
        listing->watcher_(event, listing->watcherData_);
}

// Called with the lock held, or once the thread has ended.
void UsbDeviceListing::FreeResult()
{
    if (done_ && result_.list)
        usbmuxd_.device_list_free(&result_.list);
    done_ = false;
    result_ = Result{};
}

} // namespace talvik
