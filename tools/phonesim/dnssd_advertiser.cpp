#include "tools/phonesim/dnssd_advertiser.h"

#include "tools/phonesim/log.h"

#include <arpa/inet.h>
#include <dns_sd.h>

namespace talvik::phonesim {

namespace {

std::string Describe(DNSServiceErrorType error)
{
    switch (error) {
    case kDNSServiceErr_NameConflict:
        return "the name is taken on this network";
    default:
        return fmt::format("error {}", error);
    }
}

void DNSSD_API OnRegistered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* name,
                            const char* type, const char* domain, void* context)
{
    auto* advertiser = static_cast<DnssdAdvertiser*>(context);
    bool registered = false;
    if (error != kDNSServiceErr_NoError)
        Log("DNS-SD: registering \"{}\" failed: {}", advertiser->name(), Describe(error));
    else if (advertiser->name() != name)
        Log("DNS-SD: registered as \"{}\" instead of \"{}\", which the service would not find", name,
            advertiser->name());
    else
        registered = true;
    if (registered)
        Log("DNS-SD: registered \"{}\" of \"{}\" in \"{}\"", name, type, domain);
    if (advertiser->onResult)
        advertiser->onResult(registered);
}

} // namespace

std::unique_ptr<DnssdAdvertiser> DnssdAdvertiser::Register(EventLoop& loop, const std::string& name,
                                                           std::uint16_t port, std::string& error)
{
    std::unique_ptr<DnssdAdvertiser> advertiser(new DnssdAdvertiser(loop, name));
    const DNSServiceErrorType result =
        DNSServiceRegister(&advertiser->ref_, 0, 0, name.c_str(), kPhoneServiceType,
                           nullptr, nullptr, htons(port), 0, nullptr, OnRegistered, advertiser.get());
    if (result != kDNSServiceErr_NoError) {
        advertiser->ref_ = nullptr;
        error = fmt::format("DNS-SD: registering \"{}\" failed: {}", name, Describe(result));
        return nullptr;
    }
    advertiser->fd_ = DNSServiceRefSockFD(advertiser->ref_);
    DnssdAdvertiser* self = advertiser.get();
    loop.Watch(advertiser->fd_, [self] {
        if (DNSServiceErrorType status = DNSServiceProcessResult(self->ref_); status != kDNSServiceErr_NoError) {
            Log("DNS-SD: processing the daemon's answer failed with error {}", status);
            self->loop_.Unwatch(self->fd_);
            if (self->onResult)
                self->onResult(false);
        }
    });
    Log("DNS-SD: registering \"{}\" of \"{}\" on port {}", name, kPhoneServiceType, port);
    return advertiser;
}

DnssdAdvertiser::~DnssdAdvertiser()
{
    if (ref_ == nullptr)
        return;
    loop_.Unwatch(fd_);
    DNSServiceRefDeallocate(ref_);
}

} // namespace talvik::phonesim
