// Discovery over DNS-SD, in two directions at once:
//   - registers "_vidreloserver._tcp." on port 5055, so that the camera app
//     finds the PC and connects to the listening port;
//   - resolves the phone's instance "mobile" of "_vidrelo._tcp." in "local",
//     again and again, and hands every address of every resolved host to the
//     observer, which connects out to it.
//
// Everything, resolve_reply included, runs on the connection manager's loop
// thread, which polls the DNS-SD socket without ever waiting on it. The
// owner decides when each operation runs:
//
//   StartResolve     on every entry into IDLE
//   RestartResolve   every 3 s while IDLE
//   ProcessEvents    every loop pass while IDLE (never blocks)
//   ResolveNextHost  right after ProcessEvents (one host per pass)
//   StopResolve      when a session starts on USB or WiFi
//
// Host names are looked up on libuv's worker threads (an unanswered ".local"
// name takes seconds); the addresses reach the observer from the owner's
// libuv loop, on the loop thread, and only if no StopResolve came between.
#pragma once

#include "session/dns_sd_library.h"

#include <concurrentqueue/concurrentqueue.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

struct uv_loop_s;
struct uv_getaddrinfo_s;
struct addrinfo;

namespace talvik {

// One resolved phone, copied by value through the queue.
struct hostEntry {
    char host[256]; // host target as DNS-SD returned it, NUL-terminated
    std::uint32_t port; // host byte order
};

class BonjourManagerObserver {
public:
    // `address` is dotted IPv4 text or IPv6 text; `port` in host order.
    virtual void BonjourAddressResolved(const char* address, std::uint16_t port, bool isIPv6) = 0;

protected:
    ~BonjourManagerObserver() = default;
};

class BonjourManager {
public:
    static constexpr const char* kServerType = "_vidreloserver._tcp.";
    static constexpr const char* kPhoneName = "mobile";
    static constexpr const char* kPhoneType = "_vidrelo._tcp.";
    static constexpr const char* kPhoneDomain = "local";

    // Registers the server's service on `port` (host order); `dnssd`,
    // `observer` and `loop` must outlive the object. Host lookups complete
    // in `loop`; its owner runs it and, before destroying this object, lets
    // the lookups that StopResolve could not cancel finish.
    BonjourManager(const DnsSdBinding& dnssd, BonjourManagerObserver* observer, uv_loop_s* loop,
                   std::uint16_t port);
    ~BonjourManager();
    BonjourManager(const BonjourManager&) = delete;
    BonjourManager& operator=(const BonjourManager&) = delete;

    void StartResolve();
    void StopResolve();
    void RestartResolve();
    void ProcessEvents();
    void ResolveNextHost();

private:
    struct Lookup;

    static void TALVIK_DNSSD_API resolve_reply(DNSServiceRef ref, DNSServiceFlags flags, std::uint32_t interfaceIndex,
                                               DNSServiceErrorType error, const char* fullName,
                                               const char* hostTarget, std::uint16_t portNetworkOrder,
                                               std::uint16_t txtLength, const unsigned char* txtRecord,
                                               void* context);
    void Resolve();
    bool StartLookup(Lookup* lookup, const std::string& name);
    void EndLookup(Lookup* lookup);
    static void on_address_info(uv_getaddrinfo_s* request, int status, addrinfo* addresses);

    const DnsSdBinding& dnssd_;
    BonjourManagerObserver* observer_;
    DNSServiceRef resolveRef_ = nullptr;
    DNSServiceRef registrationRef_ = nullptr;
    bool stopped_ = false;
    bool failed_ = false;
    std::atomic<bool> processingDone_{true};
    moodycamel::ConcurrentQueue<hostEntry> hosts_;
    uv_loop_s* loop_;
    // Lookups started and not yet completed; those of an earlier resolve
    // (an older generation) are dropped when they complete.
    std::set<Lookup*> lookups_;
    std::uint64_t generation_ = 0;
};

} // namespace talvik
