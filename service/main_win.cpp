// TalvikSvc's process entry: "install" (in any letter case) registers the
// service; anything else hands the process to the service control manager.
// The exit code is 0 on every path, whatever failed.
#include "service/service_host_win.h"

#include <cstring>

int main(int argc, char** argv)
{
    if (argc > 1 && _stricmp(argv[1], "install") == 0)
        talvik::InstallService();
    else
        talvik::RunServiceDispatcher();
    return 0;
}
