// TalvikSvc as a Windows service: its identity, its one-time installation
// and its run under the service control manager.
#pragma once

namespace talvik {

inline constexpr const char* kServiceName = "TalvikSvc";
inline constexpr const char* kServiceDisplayName = "Talvik Service";
inline constexpr const char* kServiceDescription = "Talvik connection manager";

// Registers the running executable as an own-process service started
// automatically under the SCM's default account (LocalSystem), and gives it
// its description. Silent: a service of that name that already exists is
// left exactly as it is, and any failure simply ends the installation.
void InstallService();

// Hands the calling (main) thread to the SCM's dispatcher. The service runs
// the worker loop on the dispatcher's ServiceMain thread and accepts STOP
// only. Returns once the service has stopped, or at once when the process
// was not started by the SCM.
void RunServiceDispatcher();

} // namespace talvik
