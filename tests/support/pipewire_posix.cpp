#include "tests/support/pipewire_posix.h"

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace talvik::test {
namespace {

bool AwaitFile(const std::string& path)
{
    for (int i = 0; i < 250 && !FileExists(path); ++i)
        std::this_thread::sleep_for(20ms);
    return FileExists(path);
}

} // namespace

std::vector<std::string> PipeWire::ClientEnvironment() const
{
    return {"XDG_RUNTIME_DIR=" + dir.path(), "PIPEWIRE_RUNTIME_DIR=" + dir.path(),
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.File("bus"), "HOME=" + dir.path()};
}

std::string PipeWire::Start()
{
    for (const char* program : {"/usr/bin/dbus-daemon", "/usr/bin/pipewire", "/usr/bin/wireplumber"})
        if (!FileExists(program))
            return std::string(program) + " is not installed (scripts/install-linux-deps.sh installs it)";
    bus_ = std::make_unique<HelperProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--address=unix:path=" + dir.File("bus")});
    if (!AwaitFile(dir.File("bus")))
        return "the session bus does not start: " + bus_->Output();
    daemon_ = std::make_unique<HelperProcess>("/usr/bin/pipewire", std::vector<std::string>{}, ClientEnvironment());
    if (!AwaitFile(dir.File("pipewire-0")))
        return "PipeWire does not start here: " + daemon_->Output();
    sessionManager_ =
        std::make_unique<HelperProcess>("/usr/bin/wireplumber", std::vector<std::string>{}, ClientEnvironment());
    // Ready once it has joined the graph as a client.
    for (int i = 0; i < 250; ++i) {
        std::string clients;
        if (Run("pw-cli", {"ls", "Client"}, 5, &clients) == 0 && clients.find("WirePlumber") != std::string::npos)
            return {};
        std::this_thread::sleep_for(20ms);
    }
    return "wireplumber does not join PipeWire: " + sessionManager_->Output();
}

std::optional<int> PipeWire::Run(const std::string& program, const std::vector<std::string>& arguments, int seconds,
                                 std::string* output) const
{
    HelperProcess client("/usr/bin/" + program, arguments, ClientEnvironment());
    const std::optional<int> code = client.Wait(std::chrono::seconds(seconds));
    if (output)
        *output = client.Output();
    return code;
}

} // namespace talvik::test
