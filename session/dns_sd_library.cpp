#include "session/dns_sd_library.h"

#include "base/console_status.h"
#include "base/dynamic_library.h"

#include <spdlog/spdlog.h>

namespace talvik {

std::unique_ptr<DnsSdLibrary> DnsSdLibrary::Load(const std::string& path)
{
    std::string reason;
    // avahi's compatibility library keeps, in its own globals, what a
    // registration that failed (no daemon) made, and runs a client thread
    // per reference; it stays mapped on Linux, so that after the unload
    // neither is left pointing into unmapped memory.
    std::unique_ptr<DynamicLibrary> library =
        DynamicLibrary::Open(path, &reason, DynamicLibrary::Lifetime::kResident);
    DnsSdBinding binding{};
    if (!library) {
        spdlog::error("Bonjour not available");
        spdlog::info("Bonjour: cannot load {0}: {1}", path, reason);
        ConsoleFact("DNS-SD", fmt::format("DNS-SD: not available ({0} cannot be loaded)", path));
        return nullptr;
    }
    if (!(library->Bind("DNSServiceResolve", binding.DNSServiceResolve) &&
          library->Bind("DNSServiceRefDeallocate", binding.DNSServiceRefDeallocate) &&
          library->Bind("DNSServiceProcessResult", binding.DNSServiceProcessResult) &&
          library->Bind("DNSServiceRefSockFD", binding.DNSServiceRefSockFD) &&
          library->Bind("DNSServiceRegister", binding.DNSServiceRegister))) {
        spdlog::error("Bonjour not available");
        spdlog::info("Bonjour: {0} lacks an entry point", path);
        return nullptr;
    }
    return std::unique_ptr<DnsSdLibrary>(new DnsSdLibrary(std::move(library), binding));
}

DnsSdLibrary::DnsSdLibrary(std::unique_ptr<DynamicLibrary> library, const DnsSdBinding& binding)
    : library_(std::move(library)), binding_(binding)
{
}

DnsSdLibrary::~DnsSdLibrary() = default;

} // namespace talvik
