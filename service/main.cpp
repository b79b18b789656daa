// TalvikSvc: sets up logging from the installed configuration and runs until
// it is asked to stop.
#include "service/logging.h"
#include "service/stop_signal.h"

#include <spdlog/spdlog.h>

int main()
{
    int level = talvik::SetUpLogging();
    spdlog::info("TalvikSvc running with log level {0}", level);
    talvik::WaitForStopSignal();
    spdlog::info("TalvikSvc stopping");
    talvik::ShutDownLogging();
    return 0;
}
