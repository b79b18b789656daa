#include "tests/support/pipewire_posix.h"

#include <signal.h>

#include <chrono>
#include <filesystem>

using namespace std::chrono_literals;

namespace talvik::test {

std::vector<std::string> PipeWire::ClientEnvironment() const
{
    return {"XDG_RUNTIME_DIR=" + dir.path(), "PIPEWIRE_RUNTIME_DIR=" + dir.path(),
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.File("bus"), "HOME=" + dir.path(),
            "PULSE_SERVER=unix:" + dir.File("pulse/native")};
}

std::string PipeWire::Start()
{
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli"})
        if (FindProgram(program).empty())
            return std::string(program) + " is not installed (scripts/install-linux-deps.sh installs it)";
    bus_ = std::make_unique<HelperProcess>(
        FindProgram("dbus-daemon"),
        std::vector<std::string>{"--session", "--nofork", "--address=unix:path=" + dir.File("bus")});
    if (!WaitUntil([&] { return FileExists(dir.File("bus")); }, 5s))
        return "the session bus does not start: " + bus_->Output();
    return StartDaemons();
}

std::string PipeWire::KillAndRestart()
{
    kill(daemon_->pid(), SIGKILL);
    daemon_->Stop();
    pulseServer_->Stop();
    sessionManager_->Stop();
    std::filesystem::remove(dir.File("pipewire-0"));
    std::filesystem::remove(dir.File("pulse/native"));
    return StartDaemons();
}

std::string PipeWire::StartDaemons()
{
    daemon_ = std::make_unique<HelperProcess>(FindProgram("pipewire"), std::vector<std::string>{}, ClientEnvironment());
    if (!WaitUntil([&] { return FileExists(dir.File("pipewire-0")); }, 5s))
        return "PipeWire does not start here: " + daemon_->Output();
    sessionManager_ =
        std::make_unique<HelperProcess>(FindProgram("wireplumber"), std::vector<std::string>{}, ClientEnvironment());
    // Ready once it has joined the graph as a client.
    const bool joined = WaitUntil(
        [&] {
            std::string clients;
            return Run("pw-cli", {"ls", "Client"}, 5, &clients) == 0 && clients.find("WirePlumber") != std::string::npos;
        },
        5s);
    if (!joined)
        return "wireplumber does not join PipeWire: " + sessionManager_->Output();
    pulseServer_ =
        std::make_unique<HelperProcess>(FindProgram("pipewire-pulse"), std::vector<std::string>{}, ClientEnvironment());
    if (!WaitUntil([&] { return FileExists(dir.File("pulse/native")); }, 5s))
        return "pipewire-pulse does not start: " + pulseServer_->Output();
    return std::string();
}

std::optional<int> PipeWire::Run(const std::string& program, const std::vector<std::string>& arguments, int seconds,
                                 std::string* output) const
{
    HelperProcess client(FindProgram(program), arguments, ClientEnvironment());
    const std::optional<int> code = client.Wait(std::chrono::seconds(seconds));
    if (output)
        *output = client.Output();
    return code;
}

} // namespace talvik::test
