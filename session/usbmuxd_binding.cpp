#include "session/usbmuxd_binding.h"

#include "service/dynamic_library.h"

namespace talvik {

bool BindUsbmuxd(const DynamicLibrary& library, UsbmuxdBinding& binding)
{
    return library.Bind("usbmuxd_subscribe", binding.subscribe) &&
           library.Bind("usbmuxd_unsubscribe", binding.unsubscribe) &&
           library.Bind("usbmuxd_get_device_list", binding.get_device_list) &&
           library.Bind("usbmuxd_device_list_free", binding.device_list_free) &&
           library.Bind("usbmuxd_connect", binding.connect) &&
           library.Bind("usbmuxd_disconnect", binding.disconnect) &&
           library.Bind("usbmuxd_send", binding.send) &&
           library.Bind("usbmuxd_recv_timeout", binding.recv_timeout) &&
           library.Bind("libusbmuxd_set_debug_level", binding.set_debug_level);
}

} // namespace talvik
