#include "tests/support/pipewire_posix.h"

#include <chrono>

using namespace std::chrono_literals;

namespace talvik::test {

std::vector<std::string> PipeWire::ClientEnvironment() const
{
    return {"XDG_RUNTIME_DIR=" + dir.path(), "PIPEWIRE_RUNTIME_DIR=" + dir.path(),
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.File("bus"), "HOME=" + dir.path()};
}

std::string PipeWire::Start()
{
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli"})
        if (FindProgram(program).empty())
            return std::string(program) + " is not installed (scripts/install-linux-deps.sh installs it)";
    bus_ = std::make_unique<HelperProcess>(
        FindProgram("dbus-daemon"),
        std::vector<std::string>{"--session", "--nofork", "--address=unix:path=" + dir.File("bus")});
    if (!WaitUntil([&] { return FileExists(dir.File("bus")); }, 5s))
        return "the session bus does not start: " + bus_->Output();
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
    return joined ? std::string() : "wireplumber does not join PipeWire: " + sessionManager_->Output();
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
