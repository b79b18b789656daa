// talviktray as a process on a private session bus, with a stand-in
// notification service that records every desktop notification: what each
// sequence of messages shows, how every message is answered, the busy
// endpoint, the fallback without a notification service, and the service
// reaching the tray (running, or started by it with the digit).
#include "base/tray_link.h"
#include "service/tray_pipe.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/skip.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using talvik::SendToTray;
using talvik::TrayDelivery;
using talvik::test::HelperProcess;
using talvik::test::ReadFile;
using talvik::test::ServiceRig;

namespace {

const std::string kAnswer("Default answer from server\0", 27);
// The tray logs beside the service, into a file of its own.
const std::string kTrayLog = "talviktray.log";

// dbus-daemon with a session bus of its own, and the stand-in notification
// service on it; both stopped by their PIDs when the object goes.
class DesktopBus {
public:
    DesktopBus()
        : address_("unix:path=" + dir_.File("bus")),
          daemon_("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address_})
    {
        talvik::test::WaitUntil([&] { return talvik::test::FileExists(dir_.File("bus")); }, 5s);
        server_ = std::make_unique<HelperProcess>(
            "/usr/bin/python3", std::vector<std::string>{TALVIK_TRAY_TEST_DIR "/fake_notification_server.py",
                                                         dir_.File("shown.txt")},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address_});
        EXPECT_TRUE(server_->WaitForOutput("ready", 10s)) << server_->Output() << daemon_.Output();
    }

    const std::string& address() const { return address_; }
    std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }
    // The notifications shown so far, a line each.
    std::string Shown() const { return ReadFile(dir_.File("shown.txt")); }
    void StopServer() { server_->Stop(); }

private:
    talvik::test::TempDir dir_;
    std::string address_;
    HelperProcess daemon_;
    std::unique_ptr<HelperProcess> server_;
};

std::vector<std::string> TrayEnvironment(const ServiceRig& rig, const DesktopBus& bus)
{
    return {"TALVIK_CONFIG_DIR=" + std::filesystem::path(rig.File("install")).parent_path().string(),
            "XDG_RUNTIME_DIR=" + rig.File("run"), bus.environment()};
}

int Connect(const std::string& endpoint)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    endpoint.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Writes `message` as one message on a connection of its own; the answer.
std::string Exchange(int fd, const std::string& message)
{
    EXPECT_EQ(send(fd, message.data(), message.size(), MSG_NOSIGNAL), static_cast<ssize_t>(message.size()));
    timeval bound{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    char answer[512];
    const ssize_t size = recv(fd, answer, sizeof answer, 0);
    return size > 0 ? std::string(answer, static_cast<std::size_t>(size)) : std::string();
}

std::string Exchange(const std::string& endpoint, const std::string& message)
{
    const int fd = Connect(endpoint);
    const std::string answer = fd >= 0 ? Exchange(fd, message) : std::string();
    if (fd >= 0)
        close(fd);
    return answer;
}

// The tray frees its endpoint at its next poll after a client left: until
// then the next client finds it busy.
TrayDelivery SendWhenFree(const std::string& endpoint, int code)
{
    TrayDelivery result = TrayDelivery::kBusy;
    talvik::test::WaitUntil(
        [&] {
            result = SendToTray(endpoint, code, 2000);
            return result != TrayDelivery::kBusy;
        },
        3s, 100ms);
    return result;
}

// Ends the tray that serves `endpoint`, by the PID its socket reports.
void StopTrayAt(const std::string& endpoint)
{
    const int fd = Connect(endpoint);
    ucred peer{};
    socklen_t size = sizeof peer;
    if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0)
        kill(peer.pid, SIGTERM);
    if (fd >= 0)
        close(fd);
}

std::unique_ptr<HelperProcess> StartTray(const ServiceRig& rig, const DesktopBus& bus,
                                         const std::vector<std::string>& arguments)
{
    auto tray = std::make_unique<HelperProcess>(talvik::test::SiblingProgram("talviktray"), arguments,
                                                TrayEnvironment(rig, bus));
    EXPECT_TRUE(rig.WaitFor([&] { return talvik::test::FileExists(rig.trayEndpoint()); })) << tray->Output();
    return tray;
}

// The notification service's record of a toast.
std::string Toast(const ServiceRig& rig, const std::string& text)
{
    const char* image = text == "Barcode Reader connected" ? "/barcode.png|" : "/vidrelo.png|";
    return "Vidrelo|" + rig.File("install") + image + text + "||1000\n";
}

} // namespace

TEST(tray_process, each_message_is_answered_and_shows_its_notification_once)
{
    DesktopBus bus;
    const std::string wifi("Vidrelo connected via WiFi"), usb("Vidrelo connected via USB");
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> messages;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {{}, {{"5\0", 2}, {"5\0", 2}}, {wifi}},
        {{}, {{"5\0", 2}, {"4\0", 2}, {"5\0", 2}}, {wifi, usb, wifi}},
        {{}, {{"9\0", 2}}, {}},
        // The first byte decides.
        {{}, {"4ABC", "5"}, {usb, wifi}},
        // The command line's digit is the first notification.
        {{"5"}, {{"5\0", 2}, {"1\0", 2}}, {wifi, "Barcode Reader connected"}},
    };
    for (const Case& c : cases) {
        ServiceRig rig;
        const std::string before = bus.Shown();
        auto tray = StartTray(rig, bus, c.arguments);
        // The command line's notification is shown before the tray serves
        // its endpoint; on a loaded machine that takes longer than a client
        // waits for its answer.
        if (!c.arguments.empty())
            EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("Toast shown: " + c.shown.front(), kTrayLog) > 0; }))
                << rig.Log(kTrayLog);
        for (const std::string& message : c.messages)
            EXPECT_EQ(Exchange(rig.trayEndpoint(), message), kAnswer) << rig.Log(kTrayLog);
        std::string expected;
        for (const std::string& text : c.shown) {
            expected += Toast(rig, text);
            EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("Toast shown: " + text, kTrayLog) > 0; })) << text;
        }
        EXPECT_EQ(bus.Shown().substr(before.size()), expected);
        tray->Stop();
        EXPECT_EQ(tray->Wait(0ms), 0);
        EXPECT_EQ(rig.Count("Tray ended", kTrayLog), 1) << rig.Log(kTrayLog);
    }
}

TEST(tray_process, a_second_client_finds_the_tray_busy_and_without_notifications_0_ends_it)
{
    DesktopBus bus;
    ServiceRig rig;
    auto tray = StartTray(rig, bus, {});
    const int first = Connect(rig.trayEndpoint());
    ASSERT_GE(first, 0);
    EXPECT_EQ(Exchange(first, {"4\0", 2}), kAnswer);
    EXPECT_EQ(SendToTray(rig.trayEndpoint(), 5, 2000), TrayDelivery::kBusy);
    close(first);
    EXPECT_EQ(SendWhenFree(rig.trayEndpoint(), 5), TrayDelivery::kAnswered);
    EXPECT_EQ(bus.Shown(), Toast(rig, "Vidrelo connected via USB") + Toast(rig, "Vidrelo connected via WiFi"));

    // With notifications, 0 only becomes the last code.
    EXPECT_EQ(SendWhenFree(rig.trayEndpoint(), 0), TrayDelivery::kAnswered);
    EXPECT_FALSE(tray->Wait(600ms).has_value());

    // Without a notification service the notice is only logged, and 0 ends
    // the tray; the answer still comes.
    bus.StopServer();
    EXPECT_EQ(SendWhenFree(rig.trayEndpoint(), 1), TrayDelivery::kAnswered);
    EXPECT_EQ(SendWhenFree(rig.trayEndpoint(), 0), TrayDelivery::kAnswered);
    EXPECT_EQ(tray->Wait(5s), 0);
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("Tray ended", kTrayLog) == 1; }));
    EXPECT_EQ(rig.Count("No notification service, not shown: Talvik Barcode Reader connected", kTrayLog), 1)
        << rig.Log(kTrayLog);
    EXPECT_EQ(rig.Count("Notification icon removed, the tray ends", kTrayLog), 1) << rig.Log(kTrayLog);

    // Started with 0, as a stopping service starts a missing tray, it ends
    // at once too.
    HelperProcess stopped(talvik::test::SiblingProgram("talviktray"), {"0"}, TrayEnvironment(rig, bus));
    EXPECT_EQ(stopped.Wait(5s), 0) << stopped.Output();
}

TEST(tray_process, the_service_starts_a_missing_tray_with_the_digit_and_tells_the_running_one)
{
    if (!talvik::test::FileExists(talvik::test::SiblingProgram("phonesim")))
        TALVIK_SKIP_MISSING() << "phonesim is not built";
    DesktopBus bus;
    ServiceRig rig;
    std::filesystem::copy_file(talvik::test::SiblingProgram("talviktray"), rig.File("install/talviktray"),
                               std::filesystem::copy_options::overwrite_existing);
    // The service hands its environment on to the tray it starts.
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    for (int session = 1; session <= 2; ++session) {
        rig.Start(rig.unusedUsbmuxd());
        auto phone = talvik::test::StartPhonesim(
            {"connect", "--port", std::to_string(rig.port()), "--frames", "30", "--duration", "30"});
        EXPECT_EQ(phone->Wait(40s), 0) << phone->Output();
        EXPECT_TRUE(
            rig.WaitFor([&] { return rig.Count("Toast shown: Vidrelo connected via WiFi", kTrayLog) == session; }))
            << rig.Log(kTrayLog);
        // The stop's 0 reaches the tray, which stays.
        EXPECT_EQ(rig.Stop(), 0);
    }
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_EQ(rig.Count("Tray started with \"5\"", kTrayLog), 1) << rig.Log(kTrayLog);
    // Each program rotates its own file: none of the tray's lines in the
    // service's, which still has its own.
    EXPECT_EQ(rig.Log().find("Tray started"), std::string::npos) << rig.Log();
    EXPECT_GE(rig.Count("Engine Start"), 2);
    EXPECT_EQ(bus.Shown(), Toast(rig, "Vidrelo connected via WiFi") + Toast(rig, "Vidrelo connected via WiFi"));
    StopTrayAt(rig.trayEndpoint());
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("Tray ended", kTrayLog) == 1; })) << rig.Log(kTrayLog);
}
