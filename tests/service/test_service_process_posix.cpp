// TalvikSvc as a process, the whole service host at work: it finds its
// install directory in the configuration file and logs into "log.txt"
// there, takes a phone streaming from the simulator over WiFi and over USB,
// tells the tray (played by the test, or absent so that the stand-in tray
// program is started) and stops in order on SIGTERM with exit code 0.
// "install" writes and enables a systemd user unit.
#include "tests/service/service_rig_posix.h"
#include "tests/service/tray_server_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using talvik::test::HelperProcess;
using talvik::test::ReadFile;
using talvik::test::TempDir;
using talvik::test::WriteFile;

namespace {

using talvik::test::ServiceRig;

enum class Via { kWifi, kUsb };

// One session of 30 frames from the simulator, then SIGTERM: the service's
// exit code.
std::optional<int> StreamOneSession(ServiceRig& rig, Via via)
{
    TempDir usbmuxdDir;
    std::unique_ptr<HelperProcess> phone;
    if (via == Via::kUsb) {
        // The simulator first: the USB library looks for usbmuxd as the
        // service starts.
        const std::string usbmuxd = "UNIX:" + usbmuxdDir.File("usbmuxd.sock");
        phone = talvik::test::StartPhonesim({"usb", "--usbmuxd", usbmuxd, "--frames", "30", "--duration", "30"});
        EXPECT_TRUE(phone->WaitForOutput("usbmuxd: listening on", 10s)) << phone->Output();
        rig.Start(usbmuxd);
    } else {
        rig.Start(rig.unusedUsbmuxd());
        phone = talvik::test::StartPhonesim(
            {"connect", "--port", std::to_string(rig.port()), "--frames", "30", "--duration", "30"});
    }
    EXPECT_EQ(phone->Wait(40s), 0) << phone->Output();
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Log().find("] ConnectionDisconnected\n") != std::string::npos; }));
    return rig.Stop();
}

void ExpectStreamedAndStopped(const std::string& log)
{
    EXPECT_NE(log.find("] Vidrelo connection received\n"), std::string::npos) << log;
    // The camera file asks for 1280 x 720 from the start: that size is
    // streamed, at once or once the first picture shows it.
    EXPECT_NE(log.find("] StartStreaming: 1280 x 720 at 30 fps\n"), std::string::npos) << log;
    EXPECT_LT(log.find("] Engine Start\n"), log.find("] Engine Stop\n")) << log;
    EXPECT_TRUE(log.ends_with("] VidreloEngine deleted\n")) << log;
}

bool HavePhonesim()
{
    return talvik::test::FileExists(talvik::test::SiblingProgram("phonesim"));
}

} // namespace

TEST(service_process, logs_into_the_install_directory_and_stops_in_order_on_sigterm)
{
    ServiceRig rig;
    rig.Start(rig.unusedUsbmuxd());
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Log().find("] Engine Start\n") != std::string::npos; }));
    EXPECT_EQ(rig.Stop(), 0);
    const std::string log = rig.Log();
    EXPECT_LT(log.find("] Engine Start\n"), log.find("] Engine Stop\n")) << log;
    EXPECT_TRUE(log.ends_with("] VidreloEngine deleted\n")) << log;
}

TEST(service_process, a_phone_over_wifi_then_over_usb_streams_and_the_tray_hears_of_it_and_of_the_stop)
{
    if (!HavePhonesim())
        TALVIK_SKIP_MISSING() << "phonesim is not built";
    for (Via via : {Via::kWifi, Via::kUsb}) {
        ServiceRig rig;
        talvik::test::TrayServer tray(rig.trayEndpoint());
        ASSERT_TRUE(tray.ok());
        EXPECT_EQ(StreamOneSession(rig, via), 0);
        ExpectStreamedAndStopped(rig.Log());
        const std::string connected = via == Via::kWifi ? std::string("5\0", 2) : std::string("4\0", 2);
        EXPECT_EQ(tray.Messages(), (std::vector<std::string>{connected, {"0\0", 2}}));
        EXPECT_EQ(rig.TrayStarts(), "");
    }
}

TEST(service_process, without_a_tray_each_notification_starts_the_tray_program_with_its_digit)
{
    if (!HavePhonesim())
        TALVIK_SKIP_MISSING() << "phonesim is not built";
    ServiceRig rig;
    EXPECT_EQ(StreamOneSession(rig, Via::kWifi), 0);
    ExpectStreamedAndStopped(rig.Log());
    // One argument each time, and none of the service's blocked signals.
    rig.WaitFor([&] { return std::ranges::count(rig.TrayStarts(), '\n') == 2; });
    EXPECT_EQ(rig.TrayStarts(), "1 5 SigBlk:\t0000000000000000\n"
                                "1 0 SigBlk:\t0000000000000000\n");
}

TEST(service_process, install_writes_the_user_unit_once_and_enables_it)
{
    TempDir dir;
    const std::string bin = dir.File("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    // systemctl stand-in: records its arguments.
    WriteFile(bin + "/systemctl", "#!/bin/sh\necho \"$@\" >> " + dir.File("systemctl.txt") + "\n");
    ASSERT_EQ(chmod((bin + "/systemctl").c_str(), 0755), 0);
    const std::string program = talvik::test::SiblingProgram("TalvikSvc");
    const std::string unit = dir.File("config/systemd/user/talvik.service");
    const std::string configHome = "XDG_CONFIG_HOME=" + dir.File("config");

    HelperProcess first(program, {"InStAlL"}, {configHome, "PATH=" + bin});
    EXPECT_EQ(first.Wait(10s), 0);
    EXPECT_EQ(first.Output(), "Wrote " + unit + "\n");
    EXPECT_EQ(ReadFile(unit), "[Unit]\n"
                              "Description=Talvik connection manager\n"
                              "\n"
                              "[Service]\n"
                              "ExecStart=\"" + program + "\"\n"
                              "Restart=on-failure\n"
                              "\n"
                              "[Install]\n"
                              "WantedBy=default.target\n");
    EXPECT_EQ(ReadFile(dir.File("systemctl.txt")), "--user enable talvik.service\n");

    // A unit the user edited stays as it is; enabling again is harmless.
    WriteFile(unit, "# mine\n");
    HelperProcess second(program, {"install"}, {configHome, "PATH=" + bin});
    EXPECT_EQ(second.Wait(10s), 0);
    EXPECT_EQ(second.Output(), unit + " exists and is left unchanged\n");
    EXPECT_EQ(ReadFile(unit), "# mine\n");
    EXPECT_EQ(ReadFile(dir.File("systemctl.txt")), "--user enable talvik.service\n--user enable talvik.service\n");

    // Without systemctl: still exit code 0, and the reason on the output.
    HelperProcess third(program, {"install"}, {configHome, "PATH=" + dir.File("none")});
    EXPECT_EQ(third.Wait(10s), 0);
    EXPECT_NE(third.Output().find("Cannot run systemctl: No such file or directory"), std::string::npos)
        << third.Output();
}
