// The discoverable phone against a real DNS-SD daemon: a private avahi-daemon
// on a private system bus. Resolving the instance "mobile" of
// "_vidrelo._tcp." in "local", as the service does, leads to the
// simulator's port, and the resolved host name leads to the simulator.
#include "tests/support/avahi_env.h"
#include "tests/support/phonesim_process.h"
#include "tools/phonesim/exit_codes.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dns_sd.h>
#include <netdb.h>
#include <sys/select.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

struct Resolved {
    bool done = false;
    DNSServiceErrorType error = kDNSServiceErr_NoError;
    std::string host;
    int port = 0;
};

void DNSSD_API OnResolved(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*,
                          const char* host, uint16_t port, uint16_t, const unsigned char*, void* context)
{
    auto* resolved = static_cast<Resolved*>(context);
    resolved->done = true;
    resolved->error = error;
    if (error == kDNSServiceErr_NoError) {
        resolved->host = host;
        resolved->port = ntohs(port);
    }
}

Resolved Resolve(const char* name)
{
    Resolved resolved;
    DNSServiceRef ref = nullptr;
    if (DNSServiceResolve(&ref, 0, 0, name, "_vidrelo._tcp.", "local", OnResolved, &resolved) !=
        kDNSServiceErr_NoError)
        return resolved;
    const int fd = DNSServiceRefSockFD(ref);
    for (int i = 0; i < 50 && !resolved.done; ++i) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval wait{0, 100000};
        if (select(fd + 1, &readable, nullptr, nullptr, &wait) > 0)
            DNSServiceProcessResult(ref);
    }
    DNSServiceRefDeallocate(ref);
    return resolved;
}

} // namespace

TEST(dnssd_avahi, resolving_mobile_leads_to_the_listening_phone)
{
    std::string skipReason;
    std::unique_ptr<talvik::test::AvahiEnvironment> avahi = talvik::test::AvahiEnvironment::Start(skipReason);
    if (!avahi)
        TALVIK_SKIP_MISSING() << skipReason;

    auto phonesim = talvik::test::StartPhonesim({"listen", "--duration", "20"}, avahi->ChildEnvironment());
    const std::optional<int> port = talvik::test::WaitForListeningPort(*phonesim, 5s);
    ASSERT_TRUE(port) << phonesim->Output();
    ASSERT_TRUE(phonesim->WaitForOutput("DNS-SD: registered \"mobile\"", 10s)) << phonesim->Output();

    const Resolved resolved = Resolve("mobile");
    ASSERT_TRUE(resolved.done) << "no answer from the daemon";
    ASSERT_EQ(resolved.error, kDNSServiceErr_NoError);
    EXPECT_EQ(resolved.port, *port);
    EXPECT_EQ(resolved.host, avahi->hostName() + ".");

    if (!avahi->hostLookups())
        TALVIK_SKIP_MISSING() << "libnss-mdns does not resolve " << avahi->hostName() << " here; the port was checked";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    ASSERT_EQ(getaddrinfo(resolved.host.c_str(), std::to_string(resolved.port).c_str(), &hints, &addresses), 0);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, addresses->ai_addr, addresses->ai_addrlen), 0);
    freeaddrinfo(addresses);
    std::uint8_t header[16] = {};
    EXPECT_EQ(recv(fd, header, sizeof header, MSG_WAITALL), 16);
    EXPECT_EQ(header[0], 0xDE) << "the phone announces itself to whoever connects";
    EXPECT_EQ(header[8], 0x05);
    close(fd);
}

TEST(dnssd_avahi, a_second_phone_with_the_same_name_fails_instead_of_renaming_itself)
{
    std::string skipReason;
    std::unique_ptr<talvik::test::AvahiEnvironment> avahi = talvik::test::AvahiEnvironment::Start(skipReason);
    if (!avahi)
        TALVIK_SKIP_MISSING() << skipReason;

    auto first = talvik::test::StartPhonesim({"listen", "--duration", "20"}, avahi->ChildEnvironment());
    ASSERT_TRUE(first->WaitForOutput("DNS-SD: registered \"mobile\"", 10s)) << first->Output();
    auto second = talvik::test::StartPhonesim({"listen", "--duration", "20"}, avahi->ChildEnvironment());
    EXPECT_EQ(second->Wait(10s), talvik::phonesim::kExitFailure) << second->Output();
    const Resolved resolved = Resolve("mobile");
    EXPECT_EQ(resolved.port, talvik::test::WaitForListeningPort(*first, 1s))
        << "the first keeps the name; resolve error " << resolved.error << "\n"
        << first->Output();
}
