// Windows binds libusbmuxd at run time from the install directory, once:
// the transport is recreated on every disconnect, the library is not.
#include "session/usbmuxd_binding.h"

#include "base/config.h"

namespace talvik {

const UsbmuxdBinding* Usbmuxd()
{
    // Loaded once and never unloaded: it serves every USB connection the
    // process makes.
    static const UsbmuxdLibrary* const library =
        UsbmuxdLibrary::Load(InstallPath(SystemConfigStore(), "libusbmuxd-2.0.dll", InstallFile::kProgram)).release();
    return library ? &library->binding() : nullptr;
}

} // namespace talvik
