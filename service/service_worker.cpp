#include "service/service_worker.h"

#include "base/config.h"
#include "base/tray_link.h"
#include "engine/vidrelo_engine.h"
#include "service/service_desktop.h"
#include "session/connection_manager.h"

#include <memory>

namespace talvik {

namespace {

VidreloEngine::SessionFactory OpenConnectionManager(ConfigStore& config)
{
    return [&config](ConnectionManagerObserver& observer) -> std::unique_ptr<PhoneSession> {
        ConnectionManager::Options options;
        options.port = PhonePort(config);
        return std::make_unique<ConnectionManager>(&observer, options);
    };
}

} // namespace

void RunServiceWorker(WorkerPlatform& platform)
{
    platform.InstallCrashHandler();
    if (platform.CreateWaitObjects()) {
        ConfigStore& config = SystemConfigStore();
        ServiceDesktop desktop(config);
        auto engine = std::make_unique<VidreloEngine>(
            VidreloEngine::Edges{config, desktop, OpenConnectionManager(config)});
        engine->Start();
        platform.ReportRunning();
        platform.ArmTimer();
        platform.StartClock();
        while (platform.WaitForTick()) {
            engine->Tick(platform.ElapsedMs());
            platform.ArmTimer();
        }
        desktop.NotifyTray(kTrayServiceStopping);
        engine->Stop();
        // The last notifications go out while the engine still logs.
        desktop.FinishNotifications();
        engine.reset();
        platform.CloseTimer();
    }
    platform.ReportStopped();
}

} // namespace talvik
