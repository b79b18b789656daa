// Linux links Debian's libusbmuxd; the table points straight at it.
#include "session/usbmuxd_binding.h"

#include <usbmuxd.h>

#include <cstddef>

namespace talvik {

namespace {

// The hand-written records must be the library's own.
static_assert(sizeof(UsbmuxdDeviceInfo) == sizeof(usbmuxd_device_info_t));
static_assert(offsetof(UsbmuxdDeviceInfo, product_id) == offsetof(usbmuxd_device_info_t, product_id));
static_assert(offsetof(UsbmuxdDeviceInfo, udid) == offsetof(usbmuxd_device_info_t, udid));
static_assert(offsetof(UsbmuxdDeviceInfo, conn_data) == offsetof(usbmuxd_device_info_t, conn_data));
static_assert(sizeof(UsbmuxdEvent) == sizeof(usbmuxd_event_t));
static_assert(offsetof(UsbmuxdEvent, device) == offsetof(usbmuxd_event_t, device));

const UsbmuxdBinding kLinked = {
    [](UsbmuxdEventCallback callback, void* userData) {
        return usbmuxd_subscribe(reinterpret_cast<usbmuxd_event_cb_t>(callback), userData);
    },
    usbmuxd_unsubscribe,
    [](UsbmuxdDeviceInfo** list) {
        return usbmuxd_get_device_list(reinterpret_cast<usbmuxd_device_info_t**>(list));
    },
    [](UsbmuxdDeviceInfo** list) {
        return usbmuxd_device_list_free(reinterpret_cast<usbmuxd_device_info_t**>(list));
    },
    [](std::uint32_t handle, unsigned short port) { return usbmuxd_connect(handle, port); },
    usbmuxd_disconnect,
    usbmuxd_send,
    usbmuxd_recv_timeout,
    libusbmuxd_set_debug_level,
};

} // namespace

const UsbmuxdBinding* Usbmuxd()
{
    return &kLinked;
}

} // namespace talvik
