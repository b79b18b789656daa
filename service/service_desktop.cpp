#include "service/service_desktop.h"

#include "base/config.h"
#include "base/tray_link.h"
#include "service/user_session.h"

namespace talvik {

ServiceDesktop::ServiceDesktop(ConfigStore& config)
    : config_(config),
      notifier_([](int code) { return SendToTray(TrayEndpoint(), code, TrayNotifier::kAnswerTimeoutMs); },
                [this](int code) { StartTray(code); })
{
}

void ServiceDesktop::StartTray(int code)
{
    // The tray takes its command-line digit as its first notification.
    LaunchInUserSession({InstallPath(config_, kTrayProgramFile, InstallFile::kProgram), std::string(1, char('0' + code))}, true);
}

void ServiceDesktop::StartProgram(const ProgramCommand& command)
{
    LaunchInUserSession(command, false);
}

bool ServiceDesktop::IsAppleMobileDeviceServiceRunning()
{
    return talvik::IsAppleMobileDeviceServiceRunning();
}

} // namespace talvik
