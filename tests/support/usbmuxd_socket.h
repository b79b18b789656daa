// This process's libusbmuxd pointed at a usbmuxd stand-in on a Unix socket
// of its own (in a fresh temporary directory), for as long as the object
// lives (Linux only). With inotify on, the library would ignore the address
// until the system daemon's directory appears, so it is turned off.
#pragma once

#include "tests/support/temp_dir.h"

#include <string>

namespace talvik::test {

class UsbmuxdSocket {
public:
    UsbmuxdSocket();
    ~UsbmuxdSocket();
    UsbmuxdSocket(const UsbmuxdSocket&) = delete;
    UsbmuxdSocket& operator=(const UsbmuxdSocket&) = delete;

    // Where the stand-in listens.
    const std::string& path() const { return path_; }
    // "UNIX:<path>", as USBMUXD_SOCKET_ADDRESS and phonesim's --usbmuxd take it.
    std::string address() const { return "UNIX:" + path_; }

private:
    TempDir dir_;
    std::string path_;
};

} // namespace talvik::test
