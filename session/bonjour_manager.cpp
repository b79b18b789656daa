#include "session/bonjour_manager.h"

#include "session/socket_poll.h"

#include "base/byte_order.h"
#include "base/console_status.h"

#include <spdlog/spdlog.h>
#include <uv.h> // host lookups and the address texts, on both targets

#include <cstring>
#include <string>
#include <thread>

namespace talvik {

namespace {

constexpr char kLocalSuffix[] = ".local.";
constexpr std::size_t kLocalSuffixLength = sizeof kLocalSuffix - 1;

// DNS-SD hands ports over as 16-bit values holding network-order bytes.
std::uint16_t FromNetworkOrder(std::uint16_t value)
{
    std::uint8_t bytes[2];
    std::memcpy(bytes, &value, sizeof bytes);
    return LoadU16Be(bytes);
}

std::uint16_t ToNetworkOrder(std::uint16_t value)
{
    std::uint8_t bytes[2];
    StoreU16Be(bytes, value);
    std::uint16_t result;
    std::memcpy(&result, bytes, sizeof result);
    return result;
}

void TALVIK_DNSSD_API register_reply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType, const char*, const char*,
                                     const char*, void*)
{
}

} // namespace

// One resolved host being looked up: first under its lookup name, then,
// when that fails, under the whole host text.
struct BonjourManager::Lookup {
    uv_getaddrinfo_t request;
    BonjourManager* self;
    std::uint64_t generation;
    std::string host;
    std::string name;
    std::string service;
    std::uint16_t port;
    bool wholeHost;
};

BonjourManager::BonjourManager(const DnsSdBinding& dnssd, BonjourManagerObserver* observer, uv_loop_s* loop,
                               std::uint16_t port)
    : dnssd_(dnssd), observer_(observer), loop_(loop)
{
    // A failed registration only makes the PC unfindable; resolving the
    // phone still works, so the result is only told to the console.
    const DNSServiceErrorType registered =
        dnssd_.DNSServiceRegister(&registrationRef_, 0, 0, nullptr, kServerType, nullptr, nullptr,
                                  ToNetworkOrder(port), 0, nullptr, register_reply, this);
    ConsoleFact("DNS-SD", registered == 0
                              ? std::string("DNS-SD: this PC is announced to phones on the local network")
                              : fmt::format("DNS-SD: this PC cannot be announced (error {0}); is avahi-daemon running?",
                                            registered));
}

BonjourManager::~BonjourManager()
{
    spdlog::trace("~BonjourManager");
    while (!processingDone_.load()) {
        spdlog::info("~BonjourManager waiting for DNSServiceProcessResult..");
        std::this_thread::yield();
    }
    if (resolveRef_)
        dnssd_.DNSServiceRefDeallocate(resolveRef_);
    // The registration is withdrawn too: the owner unloads the library right
    // after this, and a reference left behind would still be served by the
    // library's code (avahi's runs a thread per reference).
    if (registrationRef_)
        dnssd_.DNSServiceRefDeallocate(registrationRef_);
    spdlog::trace("~BonjourManager done");
}

void BonjourManager::Resolve()
{
    // A start without a stop in between must not leak the running resolve.
    if (resolveRef_) {
        dnssd_.DNSServiceRefDeallocate(resolveRef_);
        resolveRef_ = nullptr;
    }
    const DNSServiceErrorType error =
        dnssd_.DNSServiceResolve(&resolveRef_, 0, 0, kPhoneName, kPhoneType, kPhoneDomain, resolve_reply, this);
    if (error != 0) {
        spdlog::error("DNSServiceResolve returned {0}", error);
        // The reference is undefined after a failure: never release it.
        resolveRef_ = nullptr;
        failed_ = true;
    }
}

void BonjourManager::StartResolve()
{
    failed_ = false;
    processingDone_.store(true);
    stopped_ = false;
    Resolve();
}

void BonjourManager::StopResolve()
{
    if (resolveRef_) {
        dnssd_.DNSServiceRefDeallocate(resolveRef_);
        resolveRef_ = nullptr;
    }
    hostEntry discarded;
    while (hosts_.try_dequeue(discarded)) {
    }
    // Lookups in flight belong to the resolve just stopped: those not yet
    // running are cancelled, the others are dropped when they complete.
    ++generation_;
    for (Lookup* lookup : lookups_)
        uv_cancel(reinterpret_cast<uv_req_t*>(&lookup->request));
    stopped_ = true;
}

void BonjourManager::RestartResolve()
{
    StopResolve();
    StartResolve();
}

void BonjourManager::ProcessEvents()
{
    if (failed_ || stopped_)
        return;
    if (!resolveRef_) {
        Resolve();
        return;
    }
    processingDone_.store(true);
    const int socket = dnssd_.DNSServiceRefSockFD(resolveRef_);
    if (socket == -1) {
        spdlog::error("DNSServiceRefSockFD failed");
        return;
    }
    if (!SocketReadable(socket))
        return;
    processingDone_.store(false);
    const DNSServiceErrorType error = dnssd_.DNSServiceProcessResult(resolveRef_);
    processingDone_.store(true);
    if (error != 0) {
        spdlog::error("DNSServiceProcessResult failed: {0}", error);
        failed_ = true;
    }
}

void TALVIK_DNSSD_API BonjourManager::resolve_reply(DNSServiceRef, DNSServiceFlags, std::uint32_t,
                                                    DNSServiceErrorType error, const char*, const char* hostTarget,
                                                    std::uint16_t portNetworkOrder, std::uint16_t,
                                                    const unsigned char*, void* context)
{
    if (error != 0) {
        spdlog::error("Error in resolve_reply: '{0}'", error);
        return;
    }
    hostEntry entry{};
    if (hostTarget) {
        // Longer names are cut to 255 characters; the last byte stays NUL.
        std::strncpy(entry.host, hostTarget, sizeof entry.host - 1);
    }
    entry.port = FromNetworkOrder(portNetworkOrder);
    static_cast<BonjourManager*>(context)->hosts_.enqueue(entry);
}

void BonjourManager::ResolveNextHost()
{
    hostEntry entry{};
    hosts_.try_dequeue(entry);
    if (entry.host[0] == '\0')
        return;

    // "phone.local." is looked up as "phone" first: the system resolver
    // (mDNS included) knows the short name where it may not know the
    // DNS-SD form; the full text is the fallback.
    auto* lookup = new Lookup{{}, this, generation_, entry.host, entry.host, std::to_string(entry.port),
                              static_cast<std::uint16_t>(entry.port), false};
    lookup->request.data = lookup;
    if (lookup->host.size() >= kLocalSuffixLength && lookup->host.ends_with(kLocalSuffix))
        lookup->name.resize(lookup->host.size() - kLocalSuffixLength);
    lookups_.insert(lookup);
    if (!StartLookup(lookup, lookup->name)) {
        lookup->wholeHost = true;
        if (!StartLookup(lookup, lookup->host))
            EndLookup(lookup);
    }
}

bool BonjourManager::StartLookup(Lookup* lookup, const std::string& name)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const int rc =
        uv_getaddrinfo(loop_, &lookup->request, on_address_info, name.c_str(), lookup->service.c_str(), &hints);
    if (rc != 0 && lookup->wholeHost)
        spdlog::error("getaddrinfo '{0}' failed with error:'{1}'", lookup->name, uv_strerror(rc));
    return rc == 0;
}

void BonjourManager::EndLookup(Lookup* lookup)
{
    lookups_.erase(lookup);
    delete lookup;
}

void BonjourManager::on_address_info(uv_getaddrinfo_s* request, int status, addrinfo* addresses)
{
    auto* lookup = static_cast<Lookup*>(request->data);
    BonjourManager* self = lookup->self;
    if (status == UV_ECANCELED || lookup->generation != self->generation_) {
        uv_freeaddrinfo(addresses);
        self->EndLookup(lookup);
        return;
    }
    if (status != 0) {
        if (lookup->wholeHost) {
            spdlog::error("getaddrinfo '{0}' failed with error:'{1}'", lookup->name, uv_strerror(status));
        } else {
            lookup->wholeHost = true;
            if (self->StartLookup(lookup, lookup->host))
                return;
        }
        self->EndLookup(lookup);
        return;
    }

    const std::uint16_t port = lookup->port;
    for (const addrinfo* a = addresses; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            char text[16] = {};
            uv_ip4_name(reinterpret_cast<const sockaddr_in*>(a->ai_addr), text, sizeof text);
            spdlog::info("getaddrinfo IPv4 '{0}':'{1}'", text, port);
            self->observer_->BonjourAddressResolved(text, port, false);
        } else if (a->ai_family == AF_INET6) {
            char text[46] = {};
            uv_ip6_name(reinterpret_cast<const sockaddr_in6*>(a->ai_addr), text, sizeof text);
            spdlog::info("getaddrinfo IPv6 '{0}':'{1}'", text, port);
            self->observer_->BonjourAddressResolved(text, port, true);
        }
    }
    uv_freeaddrinfo(addresses);
    self->EndLookup(lookup);
}

} // namespace talvik
