#include "session/usbmuxd_binding.h"

#include "base/console_status.h"
#include "base/dynamic_library.h"

#include <spdlog/spdlog.h>

namespace talvik {

std::unique_ptr<UsbmuxdLibrary> UsbmuxdLibrary::Load(const std::string& path)
{
    std::string reason;
    std::unique_ptr<DynamicLibrary> library = DynamicLibrary::Open(path, &reason);
    if (!library) {
        spdlog::error("USB not available");
        spdlog::info("USB: cannot load {0}: {1}", path, reason);
        ConsoleFact("USB", fmt::format("USB: not available ({0} cannot be loaded)", path));
        return nullptr;
    }
    UsbmuxdBinding binding{};
    if (!(library->Bind("usbmuxd_subscribe", binding.subscribe) &&
          library->Bind("usbmuxd_unsubscribe", binding.unsubscribe) &&
          library->Bind("usbmuxd_get_device_list", binding.get_device_list) &&
          library->Bind("usbmuxd_device_list_free", binding.device_list_free) &&
          library->Bind("usbmuxd_connect", binding.connect) &&
          library->Bind("usbmuxd_disconnect", binding.disconnect) &&
          library->Bind("usbmuxd_send", binding.send) &&
          library->Bind("usbmuxd_recv_timeout", binding.recv_timeout) &&
          library->Bind("libusbmuxd_set_debug_level", binding.set_debug_level))) {
        spdlog::error("USB not available");
        spdlog::info("USB: {0} lacks an entry point", path);
        return nullptr;
    }
    return std::unique_ptr<UsbmuxdLibrary>(new UsbmuxdLibrary(std::move(library), binding));
}

UsbmuxdLibrary::UsbmuxdLibrary(std::unique_ptr<DynamicLibrary> library, const UsbmuxdBinding& binding)
    : library_(std::move(library)), binding_(binding)
{
}

UsbmuxdLibrary::~UsbmuxdLibrary() = default;

} // namespace talvik
