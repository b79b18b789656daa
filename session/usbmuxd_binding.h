// The few libusbmuxd entry points the USB transport uses, as one table of
// function pointers, so that the transport is the same code whether the
// library is linked (Linux) or bound at run time from the install directory
// (Windows, "libusbmuxd-2.0.dll" with "libplist-2.0.dll" beside it), and so
// that tests can hand it a scripted table.
//
// The Windows build has no libusbmuxd headers: the records below repeat the
// library's 2.0 ABI (the DLL's name says which), and the Linux binding checks
// them against the real header at compile time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace talvik {

class DynamicLibrary;

// usbmuxd_device_info_t
struct UsbmuxdDeviceInfo {
    std::uint32_t handle;
    std::uint32_t product_id;
    char udid[44];
    int conn_type;
    char conn_data[200];
};

// usbmuxd_event_t; event is 1 added, 2 removed, 3 paired.
struct UsbmuxdEvent {
    int event;
    UsbmuxdDeviceInfo device;
};

using UsbmuxdEventCallback = void (*)(const UsbmuxdEvent* event, void* userData);

// Each member has the library's signature and result conventions: negative
// (or non-zero for send/receive) on failure; usbmuxd_connect returns the
// connection's socket; the port is given in host order.
struct UsbmuxdBinding {
    int (*subscribe)(UsbmuxdEventCallback callback, void* userData);
    int (*unsubscribe)();
    int (*get_device_list)(UsbmuxdDeviceInfo** list);
    int (*device_list_free)(UsbmuxdDeviceInfo** list);
    int (*connect)(std::uint32_t handle, unsigned short port);
    int (*disconnect)(int connection);
    int (*send)(int connection, const char* data, std::uint32_t length, std::uint32_t* sent);
    int (*recv_timeout)(int connection, char* data, std::uint32_t length, std::uint32_t* received, unsigned int timeoutMs);
    void (*set_debug_level)(int level);
};

// libusbmuxd loaded at run time and bound, kept for as long as the object
// lives.
class UsbmuxdLibrary {
public:
    // Null, logged as "USB not available", when `path` does not load (its
    // libplist is looked for beside it) or lacks an entry point.
    static std::unique_ptr<UsbmuxdLibrary> Load(const std::string& path);

    ~UsbmuxdLibrary();
    UsbmuxdLibrary(const UsbmuxdLibrary&) = delete;
    UsbmuxdLibrary& operator=(const UsbmuxdLibrary&) = delete;

    const UsbmuxdBinding& binding() const { return binding_; }

private:
    UsbmuxdLibrary(std::unique_ptr<DynamicLibrary> library, const UsbmuxdBinding& binding);

    std::unique_ptr<DynamicLibrary> library_;
    UsbmuxdBinding binding_;
};

// The process's libusbmuxd: linked on Linux; on Windows loaded on the first
// call from the install directory ("libusbmuxd-2.0.dll") and kept until the
// process ends. Null when it cannot be had, which the first call logs; the
// service then runs without USB.
const UsbmuxdBinding* Usbmuxd();

} // namespace talvik
