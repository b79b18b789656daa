// Makes the listening phone findable the way the camera app is: a DNS-SD
// service instance (normally "mobile") of type "_vidrelo._tcp." in the
// default domain, pointing at the phone's TCP port. The service resolves that
// instance and connects out to it.
#pragma once

#include "tools/phonesim/event_loop.h"

#include <memory>
#include <string>

struct _DNSServiceRef_t;

namespace talvik::phonesim {

inline constexpr const char* kPhoneServiceType = "_vidrelo._tcp.";

class DnssdAdvertiser {
public:
    // Registers the instance and has the loop process the daemon's answers.
    // The service looks for this exact name, so a registration under any
    // other name (a daemon that renamed it to dodge a conflict) counts as a
    // failure. Nothing, with `error` set, when the request cannot even be
    // made (avahi refuses a taken name at once).
    static std::unique_ptr<DnssdAdvertiser> Register(EventLoop& loop, const std::string& name, std::uint16_t port,
                                                     std::string& error);
    ~DnssdAdvertiser();
    DnssdAdvertiser(const DnssdAdvertiser&) = delete;
    DnssdAdvertiser& operator=(const DnssdAdvertiser&) = delete;

    // Called once the daemon has answered: the registration holds, or failed.
    std::function<void(bool registered)> onResult;

    const std::string& name() const { return name_; }

private:
    DnssdAdvertiser(EventLoop& loop, const std::string& name) : loop_(loop), name_(name) {}

    EventLoop& loop_;
    const std::string name_;
    _DNSServiceRef_t* ref_ = nullptr;
    int fd_ = -1;
};

} // namespace talvik::phonesim
