// The DNS-SD client library, loaded at run time: "dnssd.dll" on Windows,
// avahi's compatibility library "libdns_sd.so.1" on Linux. It is optional:
// when it or one of the five entry points is missing, Load logs
// "Bonjour not available" and the service runs without discovery.
//
// Only the few types of the standard DNS-SD API that discovery needs are
// declared here; the library's own header is not required.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#if defined(_WIN32) && !defined(_WIN64)
#define TALVIK_DNSSD_API __stdcall
#else
#define TALVIK_DNSSD_API
#endif

namespace talvik {

class DynamicLibrary;

#ifdef _WIN32
inline constexpr const char* kDnsSdLibraryName = "dnssd.dll";
#else
inline constexpr const char* kDnsSdLibraryName = "libdns_sd.so.1";
#endif

struct DnsSdService; // opaque, the library's own
using DNSServiceRef = DnsSdService*;
using DNSServiceFlags = std::uint32_t;
using DNSServiceErrorType = std::int32_t;

using DNSServiceResolveReply = void(TALVIK_DNSSD_API*)(DNSServiceRef ref, DNSServiceFlags flags,
                                                       std::uint32_t interfaceIndex, DNSServiceErrorType error,
                                                       const char* fullName, const char* hostTarget,
                                                       std::uint16_t portNetworkOrder, std::uint16_t txtLength,
                                                       const unsigned char* txtRecord, void* context);
using DNSServiceRegisterReply = void(TALVIK_DNSSD_API*)(DNSServiceRef ref, DNSServiceFlags flags,
                                                        DNSServiceErrorType error, const char* name,
                                                        const char* type, const char* domain, void* context);

struct DnsSdBinding {
    DNSServiceErrorType(TALVIK_DNSSD_API* DNSServiceResolve)(DNSServiceRef* ref, DNSServiceFlags flags,
                                                             std::uint32_t interfaceIndex, const char* name,
                                                             const char* type, const char* domain,
                                                             DNSServiceResolveReply callback, void* context);
    void(TALVIK_DNSSD_API* DNSServiceRefDeallocate)(DNSServiceRef ref);
    DNSServiceErrorType(TALVIK_DNSSD_API* DNSServiceProcessResult)(DNSServiceRef ref);
    // The socket to poll, -1 on failure. The classic API returns an int on
    // every platform; Windows socket values fit in it.
    int(TALVIK_DNSSD_API* DNSServiceRefSockFD)(DNSServiceRef ref);
    DNSServiceErrorType(TALVIK_DNSSD_API* DNSServiceRegister)(DNSServiceRef* ref, DNSServiceFlags flags,
                                                              std::uint32_t interfaceIndex, const char* name,
                                                              const char* type, const char* domain,
                                                              const char* host, std::uint16_t portNetworkOrder,
                                                              std::uint16_t txtLength, const void* txtRecord,
                                                              DNSServiceRegisterReply callback, void* context);
};

// Owns the loaded library and its bound entry points. The connection
// manager keeps it for its whole life and destroys it after the
// BonjourManager that uses it.
class DnsSdLibrary {
public:
    // Null, with "Bonjour not available" logged, when `path` does not load
    // or lacks an entry point.
    static std::unique_ptr<DnsSdLibrary> Load(const std::string& path = kDnsSdLibraryName);

    ~DnsSdLibrary();
    DnsSdLibrary(const DnsSdLibrary&) = delete;
    DnsSdLibrary& operator=(const DnsSdLibrary&) = delete;

    const DnsSdBinding& binding() const { return binding_; }

private:
    DnsSdLibrary(std::unique_ptr<DynamicLibrary> library, const DnsSdBinding& binding);

    std::unique_ptr<DynamicLibrary> library_;
    DnsSdBinding binding_;
};

} // namespace talvik
