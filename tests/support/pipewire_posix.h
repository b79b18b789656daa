// A private PipeWire for tests: a session bus, the pipewire daemon and its
// session manager (wireplumber, which links nodes and needs the bus), all in
// a runtime directory of their own and stopped by their PIDs.
#pragma once

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

#include <memory>
#include <string>
#include <vector>

namespace talvik::test {

class PipeWire {
public:
    // Starts the three: empty, or why PipeWire cannot run here (the caller
    // skips).
    std::string Start();

    // "NAME=value" entries that point a client at this PipeWire.
    std::vector<std::string> ClientEnvironment() const;

    // Runs a PipeWire client program (found on PATH) to its end, at most
    // `seconds`: its exit code, its output in `output`.
    std::optional<int> Run(const std::string& program, const std::vector<std::string>& arguments, int seconds,
                           std::string* output = nullptr) const;

    TempDir dir;

private:
    std::unique_ptr<HelperProcess> bus_, daemon_, sessionManager_;
};

} // namespace talvik::test
