#include "tests/support/avahi_env.h"

#include "tests/support/wait_until.h"

#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace talvik::test {

namespace {

constexpr const char* kRunDir = "/run/avahi-daemon";
// The same for every environment: libdbus reads DBUS_SYSTEM_BUS_ADDRESS only
// once per process, so a test process that starts a second environment
// must find its bus where the first one was.
constexpr const char* kBusSocket = "/run/talvik-avahi-test-bus";
constexpr const char* kHostName = "talvik-test";
constexpr auto kLockWait = std::chrono::minutes(3);

// The PID of an avahi-daemon that runs already, or 0.
pid_t RunningDaemon()
{
    std::ifstream file(fs::path(kRunDir) / "pid");
    pid_t pid = 0;
    if (!(file >> pid) || pid <= 0 || kill(pid, 0) != 0)
        return 0;
    return pid;
}

// Takes the machine-wide lock that lets one environment run at a time.
int TakeLock()
{
    const char* dir = fs::is_directory("/run/lock") ? "/run/lock" : "/tmp";
    const int fd = open((fs::path(dir) / "talvik-avahi-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (!WaitUntil([&] { return flock(fd, LOCK_EX | LOCK_NB) == 0; }, kLockWait, std::chrono::milliseconds(100))) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Resolves(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0)
        return false;
    freeaddrinfo(result);
    return true;
}

std::string Tail(const std::string& text)
{
    return text.size() > 600 ? "..." + text.substr(text.size() - 600) : text;
}

} // namespace

std::unique_ptr<AvahiEnvironment> AvahiEnvironment::Start(std::string& skipReason)
{
    if (getuid() != 0) {
        skipReason = "avahi-daemon runs only as root";
        return nullptr;
    }
    std::unique_ptr<AvahiEnvironment> environment(new AvahiEnvironment);
    if (!environment->Launch(skipReason))
        return nullptr;
    return environment;
}

bool AvahiEnvironment::Launch(std::string& skipReason)
{
    const std::string dbusDaemon = FindProgram("dbus-daemon");
    const std::string avahiDaemon = FindProgram("avahi-daemon");
    if (dbusDaemon.empty() || avahiDaemon.empty()) {
        skipReason = "dbus-daemon or avahi-daemon is not installed (Debian packages dbus, avahi-daemon)";
        return false;
    }
    lockFd_ = TakeLock();
    if (lockFd_ < 0) {
        skipReason = "another test kept the avahi environment busy for three minutes";
        return false;
    }
    if (pid_t running = RunningDaemon()) {
        skipReason = "an avahi-daemon (pid " + std::to_string(running) +
                     ") already runs on this machine; the test needs its own on a private bus";
        return false;
    }

    const std::string busSocket = kBusSocket;
    busAddress_ = "unix:path=" + busSocket;
    std::error_code ignored;
    fs::remove(busSocket, ignored);  // left by a test that was killed
    WriteFile(dir_.File("bus.conf"),
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>system</type>\n"
              "  <listen>" + busAddress_ + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow user=\"*\"/>\n"
              "    <allow own=\"*\"/>\n"
              "    <allow send_type=\"method_call\"/>\n"
              "    <allow send_type=\"signal\"/>\n"
              "    <allow send_type=\"method_return\"/>\n"
              "    <allow send_type=\"error\"/>\n"
              "    <allow receive_type=\"method_call\"/>\n"
              "    <allow receive_type=\"signal\"/>\n"
              "    <allow receive_type=\"method_return\"/>\n"
              "    <allow receive_type=\"error\"/>\n"
              "  </policy>\n"
              "</busconfig>\n");
    WriteFile(dir_.File("avahi-daemon.conf"),
              std::string("[server]\n"
                          "host-name=") + kHostName + "\n"
                          "allow-interfaces=lo\n"
                          "use-ipv4=yes\n"
                          "use-ipv6=no\n"
                          "enable-dbus=yes\n"
                          "[wide-area]\n"
                          "enable-wide-area=no\n"
                          "[publish]\n"
                          "publish-hinfo=no\n"
                          "publish-workstation=no\n");

    dbus_ = std::make_unique<HelperProcess>(
        dbusDaemon, std::vector<std::string>{"--config-file=" + dir_.File("bus.conf"), "--nofork", "--nopidfile"});
    if (!WaitUntil([&] { return FileExists(busSocket); }, std::chrono::seconds(5))) {
        skipReason = "the private dbus-daemon did not start: " + Tail(dbus_->Output());
        return false;
    }

    createdRunDir_ = fs::create_directories(kRunDir, ignored);
    avahi_ = std::make_unique<HelperProcess>(
        avahiDaemon,
        std::vector<std::string>{"-f", dir_.File("avahi-daemon.conf"), "--no-drop-root", "--no-chroot",
                                 "--no-rlimits", "--no-proc-title"},
        std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_});
    if (!avahi_->WaitForOutput("Server startup complete", std::chrono::seconds(10))) {
        skipReason = "avahi-daemon did not start on the private bus: " + Tail(avahi_->Output());
        return false;
    }

    for (const std::string& entry : ChildEnvironment()) {
        const std::string name = entry.substr(0, entry.find('='));
        const char* old = getenv(name.c_str());
        savedEnvironment_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), entry.substr(name.size() + 1).c_str(), 1);
    }
    hostName_ = std::string(kHostName) + ".local";
    hostLookups_ = Resolves(hostName_);
    return true;
}

AvahiEnvironment::~AvahiEnvironment()
{
    avahi_.reset();
    dbus_.reset();
    std::error_code ignored;
    fs::remove(kBusSocket, ignored);
    for (const auto& [name, value] : savedEnvironment_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    if (createdRunDir_)
        fs::remove(kRunDir, ignored);
    if (lockFd_ >= 0)
        close(lockFd_);
}

std::vector<std::string> AvahiEnvironment::ChildEnvironment() const
{
    return {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_, "AVAHI_COMPAT_NOWARN=1"};
}

} // namespace talvik::test
