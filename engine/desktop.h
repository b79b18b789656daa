// What the engine asks of the user's desktop session. The service provides
// it; engine tests record the calls.
#pragma once

#include "base/program_command.h"
#include "base/tray_link.h"

namespace talvik {

class Desktop {
public:
    virtual ~Desktop() = default;

    // Hands tray notification `code` on for delivery, in order.
    // Returns at once: it is called on the connection manager's loop thread,
    // which must never wait for the tray.
    virtual void NotifyTray(TrayCode code) = 0;

    // Starts `command` on the console user's desktop, not hidden, and never
    // waits for it. Nothing is started when nobody is logged on.
    virtual void StartProgram(const ProgramCommand& command) = 0;

    // Whether the USB multiplexer's service process is running.
    virtual bool IsAppleMobileDeviceServiceRunning() = 0;
};

} // namespace talvik
