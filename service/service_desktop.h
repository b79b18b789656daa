// The engine's Desktop as the service provides it: tray notifications
// through the TrayNotifier over the tray link, programs started in the
// console user's session from the install directory.
#pragma once

#include "base/config_store.h"
#include "engine/desktop.h"
#include "service/tray_notifier.h"

namespace talvik {

class ServiceDesktop final : public Desktop {
public:
    explicit ServiceDesktop(ConfigStore& config);

    void NotifyTray(TrayCode code) override { notifier_.Post(code); }
    void StartProgram(const ProgramCommand& command) override;
    bool IsAppleMobileDeviceServiceRunning() override;

    // Delivers the notifications still queued and ends the delivery thread.
    void FinishNotifications() { notifier_.Finish(); }

private:
    void StartTray(int code);

    ConfigStore& config_;
    TrayNotifier notifier_;
};

} // namespace talvik
