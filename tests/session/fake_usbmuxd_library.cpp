// A stand-in libusbmuxd DLL for the Windows loader tests: the entry points
// the transport binds, doing nothing, and a dependency on a stand-in
// libplist DLL, as the real library has. Built a second time without one
// entry point (FAKE_USBMUXD_INCOMPLETE).
#include <cstdint>

#define FAKE_EXPORT extern "C" __declspec(dllexport)
#define FAKE_IMPORT extern "C" __declspec(dllimport)

FAKE_IMPORT void plist_free(void* plist);

FAKE_EXPORT int usbmuxd_subscribe(void*, void*) { return 0; }
FAKE_EXPORT int usbmuxd_unsubscribe() { return 0; }
FAKE_EXPORT int usbmuxd_get_device_list(void**) { return 0; }
FAKE_EXPORT int usbmuxd_device_list_free(void**) { return 0; }
FAKE_EXPORT int usbmuxd_connect(std::uint32_t, unsigned short) { return -1; }
FAKE_EXPORT int usbmuxd_send(int, const char*, std::uint32_t, std::uint32_t*) { return -1; }
FAKE_EXPORT int usbmuxd_recv_timeout(int, char*, std::uint32_t, std::uint32_t*, unsigned) { return -1; }
#ifndef FAKE_USBMUXD_INCOMPLETE
FAKE_EXPORT void libusbmuxd_set_debug_level(int) {}
#endif

FAKE_EXPORT int usbmuxd_disconnect(int)
{
    plist_free(nullptr);
    return 0;
}
