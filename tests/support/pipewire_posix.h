// A private PipeWire for tests: a session bus, the pipewire daemon, its
// session manager (wireplumber, which links nodes and needs the bus) and its
// PulseAudio server (pipewire-pulse, for PulseAudio programs such as parec
// and pactl), all in a runtime directory of their own and stopped by their
// PIDs.
#pragma once

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

#include <memory>
#include <string>
#include <vector>

namespace talvik::test {

class PipeWire {
public:
    // Starts the four: empty, or why PipeWire cannot run here (the caller
    // skips).
    std::string Start();

    // Kills the daemon (SIGKILL), stops its session manager and PulseAudio
    // server, and starts the three again on the same bus and directory:
    // empty, or why they did not come back.
    std::string KillAndRestart();

    // "NAME=value" entries that point a client at this PipeWire.
    std::vector<std::string> ClientEnvironment() const;

    // Runs a PipeWire client program (found on PATH) to its end, at most
    // `seconds`: its exit code, its output in `output`.
    std::optional<int> Run(const std::string& program, const std::vector<std::string>& arguments, int seconds,
                           std::string* output = nullptr) const;

    TempDir dir;

private:
    std::string StartDaemons();

    std::unique_ptr<HelperProcess> bus_, daemon_, sessionManager_, pulseServer_;
};

} // namespace talvik::test
