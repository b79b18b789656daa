#include "session/usb_pump.h"

#include <spdlog/spdlog.h>

#include <utility>

namespace talvik {

UsbPump::UsbPump(const UsbmuxdBinding* usbmuxd, iOSUSBConnection::Clock clock)
    : usbmuxd_(usbmuxd), clock_(std::move(clock))
{
    if (usbmuxd_)
        listing_ = std::make_unique<UsbDeviceListing>(*usbmuxd_);
}

void UsbPump::Open()
{
    // One device subscription per process: the old connection goes first.
    connection_.reset();
    if (usbmuxd_)
        connection_ = std::make_unique<iOSUSBConnection>(*usbmuxd_, *listing_, clock_);
}

void UsbPump::SessionMark(std::uint32_t now)
{
    lastReceive_ = now;
    lastKeepalive_ = now;
}

void UsbPump::Pump(Session& session)
{
    bool delivered = true;
    for (int i = 0; delivered && i < kPacketsPerPass && connection_; ++i) {
        // Each read may wait up to 500 ms: a request from the engine's thread
        // that waited for the next pass would sit out several of them, and
        // the phone may give up meanwhile.
        if (i > 0)
            session.HandOver();
        if (!connection_)
            break;
        std::uint32_t length = 0;
        bool failed = false;
        const std::uint8_t* packet =
            connection_->ReadPacket(clock_(), length, failed, [&session] { return session.HandOverWaiting(); });
        // The read may have waited while the engine's clock moved on; the
        // state changes below stamp with the clock as it is now, so measure
        // from that too (an older time would wrap the differences).
        const std::uint32_t now = clock_();
        delivered = packet && length > 0;
        if (delivered) {
            if (session.State() == ConnectionState::kIdle)
                session.SetState(ConnectionState::kUsbConnecting);
            if (session.ParseUsbPacket(packet, length)) {
                lastReceive_ = now;
            } else {
                spdlog::trace("Invalid data received");
                session.SetState(ConnectionState::kIdle);
            }
            if (IsUsbSession(session.State()) && now - lastKeepalive_ > kKeepaliveMs) {
                session.SendKeepalive();
                lastKeepalive_ = now;
            }
        } else if (failed) {
            spdlog::trace("Error reading USB");
            if (session.State() != ConnectionState::kIdle)
                session.SetState(ConnectionState::kIdle);
            else
                Open();
        } else if (IsUsbSession(session.State()) && now - lastReceive_ > kReadTimeoutMs) {
            // Nothing but empty frames counts as nothing received.
            spdlog::error("Timeout reading USB: {0} / {1}", now - lastReceive_, kReadTimeoutMs);
            session.SetState(ConnectionState::kIdle);
        }
    }
}

bool UsbPump::Send(const std::uint8_t* message, std::uint32_t length)
{
    return connection_ && connection_->SendFrame(message, length);
}

void UsbPump::PublishStatus()
{
    present_.store(connection_ != nullptr);
    validDeviceCount_.store(connection_ ? connection_->ValidDeviceCount() : -1);
    hasDeviceList_.store(connection_ && connection_->HasDeviceList());
}

} // namespace talvik
