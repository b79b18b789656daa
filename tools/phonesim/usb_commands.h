// Attach and detach commands for the simulated USB devices, read line by
// line from standard input, so that a test or a person at the terminal can
// plug and unplug the phone while the simulator runs:
//   attach [N]   attach device N (in --usb-device order, from 0), or all
//   detach [N]   detach device N, or all
#pragma once

#include "tools/phonesim/event_loop.h"
#include "tools/phonesim/usbmuxd_server.h"

#include <string>

namespace talvik::phonesim {

class UsbCommands {
public:
    UsbCommands(EventLoop& loop, UsbmuxdServer& server, int fd);
    ~UsbCommands();
    UsbCommands(const UsbCommands&) = delete;
    UsbCommands& operator=(const UsbCommands&) = delete;

private:
    void OnReadable();
    void Run(std::string_view line);

    EventLoop& loop_;
    UsbmuxdServer& server_;
    int fd_;
    bool watching_ = true;
    std::string pending_;
};

} // namespace talvik::phonesim
