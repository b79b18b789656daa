#include "tests/service/service_rig_posix.h"

#include "tests/support/phonesim_process.h"
#include "tests/support/uv_peer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

namespace talvik::test {

ServiceRig::ServiceRig(const std::vector<std::string>& productSettings)
    : install_(root_.File("install")), run_(root_.File("run")), port_(UvPeer::FreePort())
{
    std::filesystem::create_directory(install_);
    std::filesystem::create_directory(run_);
    std::string settings = "Port=" + std::to_string(port_) + "\n";
    for (const std::string& line : productSettings)
        settings += line + "\n";
    WriteFile(root_.File("talvik.conf"),
              "[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TalvikDrivers]\n"
              "UninstallString=" + install_ + "/uninstall.sh\n"
              "[Software\\Talvik\\Vidrelo]\n" + settings);
    WriteFile(install_ + "/Vidrelo.ini", "[logging]\nloglevel=3\n");
    WriteFile(install_ + "/talviktray",
              "#!/bin/sh\necho \"$# $1 $(grep SigBlk /proc/$$/status)\" >> \"${0%/*}/tray-starts.txt\"\n");
    EXPECT_EQ(chmod((install_ + "/talviktray").c_str(), 0755), 0);
}

void ServiceRig::Start(const std::string& usbmuxd, const std::vector<std::string>& environment, bool inTerminal)
{
    std::vector<std::string> all{"TALVIK_CONFIG_DIR=" + root_.path(), "XDG_RUNTIME_DIR=" + run_,
                                 "USBMUXD_SOCKET_ADDRESS=" + usbmuxd};
    all.insert(all.end(), environment.begin(), environment.end());
    if (inTerminal)
        service_ = std::make_unique<HelperProcess>(
            "/usr/bin/script", std::vector<std::string>{"-qfec", SiblingProgram("TalvikSvc"), "/dev/null"}, all);
    else
        service_ = std::make_unique<HelperProcess>(SiblingProgram("TalvikSvc"), std::vector<std::string>{}, all);
}

std::optional<int> ServiceRig::Stop()
{
    service_->Stop();
    return service_->Wait(0ms);
}

std::string ServiceRig::Log() const
{
    return ReadFile(install_ + "/log.txt");
}

int ServiceRig::Count(const std::string& line) const
{
    const std::string log = Log();
    const std::string needle = "] " + line + "\n";
    int count = 0;
    for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++count;
    return count;
}

std::string ServiceRig::TrayStarts() const
{
    return ReadFile(install_ + "/tray-starts.txt");
}

bool ServiceRig::WaitFor(const std::function<bool()>& done) const
{
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(20ms);
    return done();
}

} // namespace talvik::test
