#include "service/service_host_win.h"

#include <windows.h>

#include <string>

namespace talvik {

void InstallService()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    // A cut path would register some other program.
    if (length == 0 || length >= MAX_PATH)
        return;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return;
    // Quoted, so that the SCM cannot take the first word of a path with
    // blanks ("C:\Program Files\...") for the program to run as LocalSystem.
    const std::string binaryPath = '"' + std::string(path, length) + '"';
    SC_HANDLE service = CreateServiceA(manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    // ERROR_SERVICE_EXISTS included: an installed service stays unchanged.
    if (service != nullptr) {
        SERVICE_DESCRIPTIONA description{const_cast<char*>(kServiceDescription)};
        // Without its description the service still runs; installation
        // reports nothing either way.
        ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

} // namespace talvik
