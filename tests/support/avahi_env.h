// A private DNS-SD daemon for tests (Linux only): a D-Bus system bus of its
// own on a socket of its own (DBUS_SYSTEM_BUS_ADDRESS, the same path for
// every environment, since libdbus reads the variable once per process) and
// avahi-daemon on that bus, publishing on the loopback interface only, so
// that nothing reaches the network and every resolved address is 127.0.0.1.
// The test process and the processes it starts with ChildEnvironment()
// register and resolve through it with the DNS-SD compatibility library;
// libnss-mdns resolves its host name (hostName(), ending in ".local")
// through getaddrinfo.
//
// avahi-daemon keeps its pid file and the socket that libnss-mdns asks in
// the fixed directory /run/avahi-daemon, so one runs per machine at a time:
// environments of concurrent tests, from any build directory, take turns
// through a lock file, and Start() declines while a system-wide avahi-daemon
// runs. The daemons are started and stopped by their PIDs.
#pragma once

#include "tests/support/helper_process.h"

#include <memory>

namespace talvik::test {

class AvahiEnvironment {
public:
    // The running environment, or nothing with `skipReason` saying why it
    // cannot run on this machine.
    static std::unique_ptr<AvahiEnvironment> Start(std::string& skipReason);
    ~AvahiEnvironment();
    AvahiEnvironment(const AvahiEnvironment&) = delete;
    AvahiEnvironment& operator=(const AvahiEnvironment&) = delete;

    // "NAME=value" entries for processes the test starts (the test process's
    // own environment already has them while the object lives).
    std::vector<std::string> ChildEnvironment() const;

    // The host name the daemon publishes, such as "talvik-test.local".
    const std::string& hostName() const { return hostName_; }

    // Whether getaddrinfo resolved hostName() at start-up (libnss-mdns is
    // installed and configured in /etc/nsswitch.conf).
    bool hostLookups() const { return hostLookups_; }

private:
    AvahiEnvironment() = default;
    bool Launch(std::string& skipReason);

    TempDir dir_;
    int lockFd_ = -1;
    bool createdRunDir_ = false;
    std::string busAddress_;
    std::string hostName_;
    bool hostLookups_ = false;
    std::unique_ptr<HelperProcess> dbus_;
    std::unique_ptr<HelperProcess> avahi_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

} // namespace talvik::test
