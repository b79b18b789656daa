// Windows binds libusbmuxd at run time from the install directory. It is
// loaded once and kept for the life of the process: the transport is
// recreated on every disconnect, the library is not.
#include "session/usbmuxd_binding.h"

#include "service/config.h"
#include "service/dynamic_library.h"

#include <spdlog/spdlog.h>

namespace talvik {

namespace {

const UsbmuxdBinding* Bind()
{
    static UsbmuxdBinding binding;
    const std::string path = InstallPath(SystemConfigStore(), "libusbmuxd-2.0.dll");
    std::string reason;
    std::unique_ptr<DynamicLibrary> library = DynamicLibrary::Open(path, &reason);
    if (!library) {
        spdlog::error("USB not available");
        spdlog::info("USB: cannot load {0}: {1}", path, reason);
        return nullptr;
    }
    if (!BindUsbmuxd(*library, binding)) {
        spdlog::error("USB not available");
        spdlog::info("USB: {0} lacks an entry point", path);
        return nullptr;
    }
    library.release(); // stays loaded until the process ends
    return &binding;
}

} // namespace

const UsbmuxdBinding* Usbmuxd()
{
    static const UsbmuxdBinding* const bound = Bind();
    return bound;
}

} // namespace talvik
