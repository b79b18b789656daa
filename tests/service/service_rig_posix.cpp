#include "tests/service/service_rig_posix.h"

#include "tests/support/phonesim_process.h"
#include "tests/support/uv_peer.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
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
    // The caller's entries win over the rig's own.
    std::vector<std::string> all = environment;
    for (const std::string& own :
         {"TALVIK_CONFIG_DIR=" + root_.path(), "XDG_RUNTIME_DIR=" + run_, "USBMUXD_SOCKET_ADDRESS=" + usbmuxd}) {
        const std::string name = own.substr(0, own.find('=') + 1);
        if (std::ranges::none_of(environment, [&](const std::string& entry) { return entry.starts_with(name); }))
            all.push_back(own);
    }
    inTerminal_ = inTerminal;
    // script(1) runs its command through the user's shell, and a shell
    // such as dash stays as the service's parent unless told to exec: the
    // service must be script's own child to be stopped the way a person's
    // Ctrl+C or kill would stop it.
    if (inTerminal)
        service_ = std::make_unique<HelperProcess>(
            "/usr/bin/script", std::vector<std::string>{"-qfec", "exec '" + SiblingProgram("TalvikSvc") + "'", "/dev/null"},
            all);
    else
        service_ = std::make_unique<HelperProcess>(SiblingProgram("TalvikSvc"), std::vector<std::string>{}, all);
}

bool ServiceRig::Running() const
{
    // A process that ended but is not reaped yet is a zombie, 'Z' after
    // the name in its stat line.
    const std::string stat = ReadFile("/proc/" + std::to_string(service_->pid()) + "/stat");
    const std::size_t name = stat.rfind(')');
    return name != std::string::npos && name + 2 < stat.size() && stat[name + 2] != 'Z';
}

pid_t ServiceRig::pid() const
{
    if (!inTerminal_)
        return service_->pid();
    const std::string script = std::to_string(service_->pid());
    std::ifstream children("/proc/" + script + "/task/" + script + "/children");
    pid_t child = -1;
    children >> child;
    return child;
}

std::optional<int> ServiceRig::Stop()
{
    // script(1) meets SIGTERM by killing its child two seconds later, which
    // would cut short a stop that takes longer; so the service itself is
    // asked, and script ends with it, passing on its exit code.
    if (const pid_t service = pid(); inTerminal_ && service > 0 && kill(service, SIGTERM) == 0)
        if (std::optional<int> code = service_->Wait(10s))
            return code;
    service_->Stop();
    return service_->Wait(0ms);
}

std::string ServiceRig::Log(const std::string& file) const
{
    return ReadFile(install_ + "/" + file);
}

int ServiceRig::Count(const std::string& line, const std::string& file) const
{
    const std::string log = Log(file);
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
    return WaitUntil(done, 10s);
}

} // namespace talvik::test
