#include "session/ios_usb_connection.h"

#include "base/byte_order.h"
#include "base/console_status.h"
#include "base/phone_link.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace talvik {

namespace {

bool IsValid(const UsbmuxdDeviceInfo& device)
{
    return device.handle > 0 && device.product_id != 0;
}

// True once `now` is past `deadline`, across the 32-bit wrap of the clock.
bool IsPast(std::uint32_t now, std::uint32_t deadline)
{
    return static_cast<std::int32_t>(now - deadline) > 0;
}

} // namespace

iOSUSBConnection::iOSUSBConnection(const UsbmuxdBinding& usbmuxd, UsbDeviceListing& listing, Clock clock)
    : usbmuxd_(usbmuxd), listing_(listing), buffer_(static_cast<std::uint8_t*>(std::malloc(kInitialCapacity))),
      clock_(std::move(clock))
{
    spdlog::trace("USB: iOSUSBConnection");
    // A subscription of its own would start with an event per attached
    // device, and so with a second of listing on every read: the same
    // happens from the first read on.
    rescanOnFirstRead_ = listing_.Watch(OnUsbmuxdEvent, this);
    usbmuxd_.set_debug_level(0);
}

iOSUSBConnection::~iOSUSBConnection()
{
    spdlog::trace("USB: ~iOSUSBConnection");
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Waits for an event being handed over: safe under the lock only
        // because OnUsbmuxdEvent never takes it.
        listing_.Watch(nullptr, nullptr);
        if (connection_ != -1 && usbmuxd_.disconnect(connection_) != 0)
            spdlog::error("USB: usbmuxd_disconnect failed");
        FreeDeviceList();
        std::free(buffer_);
    }
    // The next connection lists afresh, not from what this one asked for.
    listing_.Forget();
    spdlog::trace("USB: ~iOSUSBConnection done");
}

void iOSUSBConnection::OnUsbmuxdEvent(const UsbmuxdEvent* event, void* userData)
{
    auto* self = static_cast<iOSUSBConnection*>(userData);
    switch (event->event) {
    case 1:
        spdlog::trace("USB: usbmuxd_event_cb_t::UE_DEVICE_ADD");
        break;
    case 2:
        spdlog::trace("USB: usbmuxd_event_cb_t::UE_DEVICE_REMOVE");
        break;
    case 3:
        spdlog::trace("USB: usbmuxd_event_cb_t::UE_DEVICE_PAIRED");
        break;
    default:
        break;
    }
    self->rescanUntil_.store(self->now_.load() + kRelistMs);
    self->rescanRequested_.store(true);
}

std::string iOSUSBConnection::MaskedUdid(const UsbmuxdDeviceInfo& device)
{
    const std::size_t length = strnlen(device.udid, sizeof device.udid);
    std::string masked(8, 'X');
    if (length > 8)
        masked.append(device.udid + 8, std::min<std::size_t>(length - 8, 33));
    return masked;
}

void iOSUSBConnection::FreeDeviceList()
{
    if (deviceList_)
        usbmuxd_.device_list_free(&deviceList_);
    deviceList_ = nullptr;
    listedCount_ = 0;
    hasDeviceList_.store(false);
}

void iOSUSBConnection::ListDevices(std::uint32_t now)
{
    // A listing that has not come back yet leaves everything as it was; it
    // is taken up by a later call.
    const std::optional<UsbDeviceListing::Result> listed = listing_.List(kListingWait);
    if (!listed)
        return;
    FreeDeviceList();
    validDeviceCount_.store(0);

    UsbmuxdDeviceInfo* list = listed->list;
    const int n = listed->count;
    ConsoleFact("USB", n >= 0 ? "USB: usbmuxd answers; plug in a phone with the app running"
                              : "USB: usbmuxd does not answer; USB phones are found once it runs");
    if (n < 0) {
        spdlog::info("usbmuxd_get_device_list error {0}", n);
    } else {
        deviceList_ = list;
        listedCount_ = n;
        hasDeviceList_.store(list != nullptr);
    }
    if (n > 0 && deviceList_) {
        int valid = 0;
        for (int i = 0; i < n; ++i)
            valid += IsValid(deviceList_[i]) ? 1 : 0;
        validDeviceCount_.store(valid);
        spdlog::info("usbmuxd_get_device_list = {0} | valid devices: {1}", n, valid);
        for (int i = 0; i < n; ++i) {
            if (IsValid(deviceList_[i]))
                spdlog::info("device {0}: | product id {1} | handle {2}", i, deviceList_[i].product_id,
                             deviceList_[i].handle);
        }
    }

    if (IsPast(now, rescanUntil_.load())) {
        spdlog::trace("USB: Stop looking for USB devices, {0} connected", validDeviceCount_.load());
        rescanRequested_.store(false);
        lastListing_ = now;
    }
}

void iOSUSBConnection::LookForPhone(std::uint32_t now)
{
    if (rescanOnFirstRead_) {
        rescanOnFirstRead_ = false;
        rescanUntil_.store(now + kRelistMs);
        rescanRequested_.store(true);
    }
    if (now - lastListing_ > kRelistMs)
        rescanRequested_.store(true);
    if (rescanRequested_.load())
        ListDevices(now);
    if (!deviceList_)
        return;

    // Only valid entries are tried: an invalid one ahead of the phone in the
    // list must not hide it.
    for (int i = 0; i < listedCount_; ++i) {
        const UsbmuxdDeviceInfo& entry = deviceList_[i];
        if (!IsValid(entry))
            continue;
        spdlog::trace("USB: Connecting to device {0}..", i);
        const int connection = usbmuxd_.connect(entry.handle, kPhonePort);
        if (connection > 0) {
            connection_ = connection;
            spdlog::info("USB: USB device connected (UDID = {0}, device handle = {1})", MaskedUdid(entry),
                         connection);
            hadData_ = false;
            connected_ = true;
            return;
        }
        spdlog::info("USB: usbmuxd_connect failed to device {0} at port {1}", entry.handle, kPhonePort);
    }
}

void iOSUSBConnection::ResetToHeader()
{
    readingBody_ = false;
    expected_ = kHeaderSize;
    received_ = 0;
    remaining_ = kHeaderSize;
}

const std::uint8_t* iOSUSBConnection::ReadPacket(std::uint32_t now, std::uint32_t& length, bool& failed,
                                                 const std::function<bool()>& interrupted)
{
    now_.store(now);
    failed = false;
    std::lock_guard<std::mutex> guard(lock_);
    length = 0;

    if (!connected_) {
        LookForPhone(now);
        if (!connected_)
            return nullptr;
    }

    for (;;) {
        if (received_ + remaining_ > capacity_) {
            const std::uint32_t grown = received_ + remaining_;
            spdlog::error("USB: Reallocating USB receive buffer to {0} bytes", grown);
            auto* buffer = static_cast<std::uint8_t*>(std::realloc(buffer_, grown));
            if (!buffer) {
                failed = true;
                return nullptr;
            }
            buffer_ = buffer;
            capacity_ = grown;
        }
        if (interrupted && interrupted())
            return nullptr;

        const unsigned timeout = hadData_ ? kTimeoutMs : kFirstByteTimeoutMs;
        if (silentMs_ == 0 && clock_)
            silenceStart_ = clock_();
        const unsigned slice = std::min(kReceiveSliceMs, timeout - std::min(silentMs_, timeout));
        std::uint32_t got = 0;
        const int result = usbmuxd_.recv_timeout(connection_, reinterpret_cast<char*>(buffer_ + received_),
                                                 remaining_, &got, slice);
        if (received_ + got > capacity_)
            spdlog::error("USB: Read overflow");
        if (result == kReceiveTimedOut && got == 0) {
            silentMs_ += slice;
            // The limit is reached when either measure says so; a clock at a
            // standstill still leaves the receive time to end the wait.
            const std::uint32_t measured = clock_ ? clock_() - silenceStart_ : 0;
            silentMs_ = std::max<unsigned>(silentMs_, std::min<std::uint32_t>(measured, timeout));
            if (silentMs_ < timeout)
                continue;
        }
        if (result != 0 || got == 0) {
            failed = true;
            silentMs_ = 0;
            spdlog::info("USB: usbmuxd_recv_timeout {0} bytes with return value {1}", got, result);
            return nullptr;
        }
        silentMs_ = 0;
        hadData_ = true;
        if (got > remaining_) {
            // The library wrote past what was asked for: the stream position
            // is lost, so the connection cannot be trusted any more.
            spdlog::error("USB: Read too much data");
            failed = true;
            return nullptr;
        }
        remaining_ -= got;
        received_ += got;
        if (received_ != expected_)
            continue;

        if (readingBody_) {
            length = expected_;
            ResetToHeader();
            return buffer_;
        }
        if (LoadU32Le(buffer_) != kMessageMagic) {
            spdlog::error("USB: Invalid USB magic number, disconnecting");
            failed = true;
            return nullptr;
        }
        const std::uint32_t bodyLength = LoadU32Be(buffer_ + 4);
        if (bodyLength > kMaxBodyLength) {
            spdlog::error("USB: Too large packet ({0} bytes), disconnecting", bodyLength);
            failed = true;
            return nullptr;
        }
        if (bodyLength == 0) {
            // An empty frame is a packet of its own; asking the library for
            // 0 bytes would read as a broken connection.
            ResetToHeader();
            return buffer_;
        }
        readingBody_ = true;
        expected_ = bodyLength;
        received_ = 0;
        remaining_ = bodyLength;
    }
}

bool iOSUSBConnection::SendFrame(const std::uint8_t* message, std::uint32_t length)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (connection_ < 0) {
        guard.unlock();
        spdlog::error("USB write failed");
        return false;
    }

    std::uint8_t prefixBytes[4];
    StoreU32Be(prefixBytes, length);
    const char* prefix = reinterpret_cast<const char*>(prefixBytes);
    std::uint32_t sent = 0;
    int result = usbmuxd_.send(connection_, prefix, sizeof prefixBytes, &sent);
    if (result != 0)
        spdlog::error("USB: usbmuxd_send failed: {0}", result);
    else
        spdlog::trace("USB: usbmuxd_send {0}/{1} bytes", sent, sizeof prefixBytes);
    // Without its whole length prefix the phone would read the message as
    // a length: the stream is lost, so the message is not sent at all.
    bool whole = result == 0 && sent == sizeof prefixBytes;
    if (whole) {
        sent = 0;
        result = usbmuxd_.send(connection_, reinterpret_cast<const char*>(message), length, &sent);
        if (result != 0)
            spdlog::error("USB: usbmuxd_send failed: {0}/{1}", sent, length);
        else
            spdlog::trace("USB: usbmuxd_send {0}/{1} bytes", sent, length);
        whole = result == 0 && sent == length;
    }
    guard.unlock();

    if (!whole)
        spdlog::error("USB write failed");
    return whole;
}

} // namespace talvik
