// A private PulseAudio daemon for tests (as root it runs with -n and a
// script of its own) with a FIFO microphone and a recorder; the daemon and
// its clients are stopped by their PIDs.
#pragma once

#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

#include <memory>
#include <string>
#include <vector>

namespace talvik::test {

class PulseAudio {
public:
    // Starts the daemon: empty, or why PulseAudio cannot run here (the
    // caller skips).
    std::string Start();

    // Makes the FIFO `fifo` the microphone "talvik_mic" (module-pipe-source,
    // 16-bit little-endian stereo at 44,100 Hz); false when the module fails.
    bool AddPipeSource(const std::string& fifo);

    // parec recording "talvik_mic" into `file` in the same format, returned
    // once the daemon lists it as recording; nothing when it does not.
    std::unique_ptr<HelperProcess> Record(const std::string& file);

    TempDir dir;

private:
    std::unique_ptr<HelperProcess> Client(const std::string& tool, const std::vector<std::string>& arguments);
    std::string Socket() const { return dir.File("native"); }

    std::unique_ptr<HelperProcess> daemon_;
};

} // namespace talvik::test
