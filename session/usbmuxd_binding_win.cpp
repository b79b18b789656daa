// Windows binds libusbmuxd at run time from the install directory, once:
// the transport is recreated on every disconnect, the library is not.
#include "session/usbmuxd_binding.h"

#include "service/config.h"

namespace talvik {

const UsbmuxdBinding* Usbmuxd()
{
    static const std::unique_ptr<UsbmuxdLibrary> library =
        UsbmuxdLibrary::Load(InstallPath(SystemConfigStore(), "libusbmuxd-2.0.dll"));
    return library ? &library->binding() : nullptr;
}

} // namespace talvik
